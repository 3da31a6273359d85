"""quenlith: a memory runtime for software agents."""

from .quenlith_runtime import Runtime

__all__ = ["Runtime", "__version__"]
__version__ = "0.1.0"
