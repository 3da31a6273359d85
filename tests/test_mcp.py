"""The MCP server, started as a subprocess and driven by the SDK's own stdio client."""

import datetime as dt
import json
import subprocess
import sys

import pytest

# mcp 1 shares the package name but not the API; mcp_types comes with mcp 2 only.
pytest.importorskip("mcp_types", reason="the MCP server needs the mcp package, version 2")
pytest.importorskip("mcp")

import anyio  # installed with mcp
from mcp import Client, StdioServerParameters, stdio_client

TIMEOUT = 30
TOOLS = {"remember", "recall", "forget_sweep", "memory_stats"}
TIERS_URI = "quenlith://stats/tiers"
SALIENCE_URI = "quenlith://stats/salience"


def serve(tmp_path, body, *, mode="auto"):
    """Run `body(client)` against a server on tmp_path/memory.db; the server ends with the client."""
    params = StdioServerParameters(
        command=sys.executable,
        # The way a host starts it: the package's command line, one subcommand.
        args=["-m", "quenlith", "mcp", "--db", str(tmp_path / "memory.db")],
        cwd=str(tmp_path),  # not the repository root, whose quenlith/ has no compiled runtime
    )

    async def main():
        with anyio.fail_after(TIMEOUT):
            async with Client(stdio_client(params), mode=mode, read_timeout_seconds=TIMEOUT) as client:
                await body(client)

    anyio.run(main)


async def call(client, tool, arguments=None):
    """The structured result of a call that must succeed; its text content says the same."""
    result = await client.call_tool(tool, arguments or {})
    assert not result.is_error, result.content
    assert json.loads(result.content[0].text) == result.structured_content
    return result.structured_content


async def refused(client, tool, arguments=None):
    """The one line of text of a call that must come back as a tool error."""
    result = await client.call_tool(tool, arguments or {})
    assert result.is_error
    assert result.structured_content is None
    (content,) = result.content
    return content.text


async def read_json(client, uri):
    (content,) = (await client.read_resource(uri)).contents
    assert content.mime_type == "application/json"
    return json.loads(content.text)


def test_tools_and_resources(tmp_path):
    async def body(client):
        tools = {tool.name: tool for tool in (await client.list_tools()).tools}
        assert set(tools) == TOOLS
        for tool in tools.values():
            assert tool.description
            assert tool.input_schema["type"] == "object"
            assert tool.output_schema["type"] == "object"
        assert tools["remember"].input_schema["required"] == ["source", "kind", "content"]
        assert tools["recall"].annotations.read_only_hint
        resources = {str(resource.uri): resource for resource in (await client.list_resources()).resources}
        assert set(resources) == {TIERS_URI, SALIENCE_URI}

        bug = (await call(client, "remember", {"source": "tests", "kind": "error",
                                               "content": "test_cache fails after restart"}))["id"]
        fix = (await call(client, "remember", {"source": "reviewer", "kind": "correction",
                                               "content": "invalidate the cache on startup",
                                               "importance": "high", "overrides": bug}))["id"]
        earlier = dt.datetime.now(dt.timezone.utc).replace(microsecond=0) - dt.timedelta(hours=2)
        old = (await call(client, "remember", {"source": "ci", "kind": "observation",
                                               "content": "nightly build green",
                                               "timestamp": earlier.isoformat()}))["id"]
        assert len({bug, fix, old}) == 3

        memories = (await call(client, "recall", {"text": "CACHE"}))["memories"]
        assert [memory["id"] for memory in memories] == [fix, bug]
        assert memories[1]["is_overridden"] and memories[1]["tier"] == "cold"
        assert not memories[0]["is_overridden"] and memories[0]["tier"] == "hot"
        (observation,) = (await call(client, "recall", {"source": "ci"}))["memories"]
        assert observation["id"] == old and observation["timestamp"] == earlier.isoformat()
        assert (await call(client, "recall", {"limit": 1}))["memories"][0]["id"] == fix

        assert await refused(client, "remember", {"source": "tests", "kind": "x", "content": "?"}) == (
            "unknown event kind: 'x'. Expected: user_action, observation, decision, error, correction")

        swept = await call(client, "forget_sweep")
        assert swept["total_processed"] == 3
        assert set(swept) == {"total_processed", "promoted", "demoted", "forgotten"}

        stats = await call(client, "memory_stats")
        assert stats["total_events"] == 3 and stats["policy"] == "balanced"
        assert stats["thresholds"] == {"hot": 2.0, "warm": 0.5, "cold": 0.05}
        assert stats["hot"] + stats["warm"] + stats["cold"] + stats["forgotten"] == 3
        (snapshot,) = stats["snapshots"]
        assert {tier: snapshot[tier] for tier in ("hot", "warm", "cold", "forgotten")} == {
            tier: stats[tier] for tier in ("hot", "warm", "cold", "forgotten")}

        tiers = await read_json(client, TIERS_URI)
        assert tiers == {key: stats[key] for key in ("total_events", "hot", "warm", "cold", "forgotten")}
        salience = await read_json(client, SALIENCE_URI)
        assert salience["total"] == len(salience["values"]) == 3 - stats["forgotten"]
        assert salience["values"] == sorted(salience["values"], reverse=True)
        assert salience["thresholds"] == {"hot": 2.0, "warm": 0.5, "cold": 0.05}

    serve(tmp_path, body)


BAD_CALLS = [
    ("remember", {"source": "a", "kind": "error", "content": 5}, "argument 'content' must be a string, not integer"),
    ("remember", {"source": "a", "kind": "error"}, "missing required argument 'content'"),
    ("remember", {"source": "a", "kind": "Error", "content": "c", "importance": "urgent"},
     "unknown event kind: 'Error'"),
    ("remember", {"source": "a", "kind": "error", "content": "c", "importance": "urgent"},
     "unknown importance: 'urgent'. Expected: low, normal, high, critical"),
    ("remember", {"source": "a", "kind": "error", "content": "c", "overrides": "not-a-uuid"},
     "invalid overrides UUID: invalid character: found `n` at 1"),
    ("remember", {"source": "a", "kind": "error", "content": "c", "overrides": "5f0c8b6e-9d3a-4a51-8a0e-2b7c1d4e6f80"},
     "storage error: FOREIGN KEY constraint failed"),
    ("remember", {"source": "a", "kind": "error", "content": "c", "timestamp": "2024-01-15T10:30:00"},
     "invalid timestamp (expected RFC3339): premature end of input"),
    ("remember", {"source": "a", "kind": "error", "content": "c", "timestamp": "yesterday"},
     "invalid timestamp (expected RFC3339)"),
    ("recall", {"tier": "Hot"}, "unknown tier: 'Hot'. Expected: hot, warm, cold, forgotten"),
    ("recall", {"min_salience": "NaN"}, "argument 'min_salience' must be a number, not string"),
    ("recall", {"min_salience": True}, "argument 'min_salience' must be a number, not boolean"),
    ("recall", {"limit": 2**70}, "argument 'limit' must be at most"),
    ("recall", {"limit": 2**63}, "argument 'limit' must be at most"),
    ("recall", {"limit": -1}, "argument 'limit' must be at least 0"),
    ("recall", {"limit": 2.5}, "argument 'limit' must be an integer"),
    ("recall", {"limit": [1]}, "argument 'limit' must be an integer, not array"),
    ("recall", {"query": "cache"}, "unexpected argument 'query' for recall"),
    ("memory_stats", {"snapshots": "all"}, "argument 'snapshots' must be an integer, not string"),
    ("forget_sweep", {"now": True}, "unexpected argument 'now' for forget_sweep"),
    ("drop_everything", {}, "unknown tool: 'drop_everything'. Expected: remember, recall, forget_sweep, memory_stats"),
]


def test_survives_bad_calls(tmp_path):
    async def body(client):
        for tool, arguments, message in BAD_CALLS:
            assert (await refused(client, tool, arguments)).startswith(message), (tool, arguments)
        # NaN cannot cross JSON: the client sends null, which means no bound.
        assert (await call(client, "recall", {"min_salience": float("nan")}))["memories"] == []
        with pytest.raises(Exception, match="unknown resource"):
            await client.read_resource("quenlith://stats/nothing")

        # None of the refused recordings left anything behind, and the server still answers.
        assert (await call(client, "memory_stats"))["total_events"] == 0
        kept = (await call(client, "remember", {"source": "a", "kind": "decision", "content": "still here",
                                                "importance": None, "overrides": None}))["id"]
        assert [m["id"] for m in (await call(client, "recall", {"text": "still", "limit": 5.0}))["memories"]] == [kept]
        assert (await read_json(client, TIERS_URI))["total_events"] == 1

    serve(tmp_path, body, mode="legacy")  # the initialize handshake that most hosts still speak


def start(tmp_path, *args, code=None):
    command = [sys.executable, "-m", "quenlith.mcp_server"] if code is None else [sys.executable, "-c", code]
    return subprocess.run([*command, *args], check=False, cwd=tmp_path, stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, timeout=TIMEOUT)


def test_missing_sdk_is_one_line(tmp_path):
    hide_sdk = ("import runpy, sys; sys.modules['mcp'] = sys.modules['mcp_types'] = None; "
                "runpy.run_module('quenlith.mcp_server', run_name='__main__')")
    result = start(tmp_path, "--db", str(tmp_path / "memory.db"), code=hide_sdk)
    assert result.returncode == 1
    assert result.stderr.count("\n") == 1 and "pip install 'quenlith[mcp]'" in result.stderr
    assert not (tmp_path / "memory.db").exists()


def test_unopenable_database_is_one_line(tmp_path):
    result = start(tmp_path, "--db", str(tmp_path / "no" / "such" / "memory.db"))
    assert result.returncode == 1
    assert result.stderr.count("\n") == 1 and "storage error: unable to open database file" in result.stderr
