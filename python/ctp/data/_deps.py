"""The optional libraries ``ctp.data`` needs, with one message naming the extra that installs them."""

from __future__ import annotations

from types import ModuleType
from typing import cast

EXTRA = ("install the package's data extra (pip install 'ctp[data]'), or on Debian "
         "python3-pyarrow, python3-pandas and python3-matplotlib")


def missing(what: str, error: ImportError) -> ImportError:
    found = ImportError(f"{what} needs {error.name or 'a library that is missing'}: {EXTRA}", name=error.name)
    found.__cause__ = error
    return found


def pandas() -> ModuleType:
    """pandas, or ImportError naming the extra."""
    try:
        import pandas
    except ImportError as error:
        raise missing("ctp.data's DataFrames", error) from error
    return cast(ModuleType, pandas)
