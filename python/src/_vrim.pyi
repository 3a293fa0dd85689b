"""Types of the native extension module. Import from `vrim`, not from here."""

from collections.abc import Iterable, Mapping, Sequence
from typing import ClassVar, final

__all__ = [
    "__version__",
    "IndexBuilder",
    "Index",
    "Result",
    "QueryStats",
    "QueryError",
    "FormatError",
    "languages",
    "tokenize",
    "normalize",
    "index_language",
]

__version__: str

# A document is any mapping from field names to values: the reference field
# and every declared field must hold a str (or None, or be missing, for a
# field without text); other keys are not read.
_Document = Mapping[str, object]

@final
class IndexBuilder:
    """Builds a search index from declared fields and staged documents."""

    def __new__(
        cls,
        language: str,
        *,
        ref_field: str = "id",
        k1: float = 1.2,
        b: float = 0.75,
        max_token_length: int | None = None,
    ) -> IndexBuilder: ...
    @staticmethod
    def from_index(
        index: Index, *, ref_field: str = "id", max_token_length: int | None = None
    ) -> IndexBuilder: ...
    def field(self, name: str, boost: float = 1.0) -> None: ...
    def add(self, doc: _Document, boost: float = 1.0) -> None: ...
    def add_many(self, docs: Iterable[_Document], boost: float = 1.0) -> None: ...
    def remove(self, doc_ref: str) -> bool: ...
    def build(self, threads: int | None = None) -> Index: ...
    def clear(self) -> None: ...
    @property
    def staged(self) -> int: ...
    @property
    def fields(self) -> list[str]: ...
    @property
    def ref_field(self) -> str: ...
    @property
    def language(self) -> str: ...
    @property
    def max_token_length(self) -> int | None: ...
    @property
    def dropped_tokens(self) -> int: ...

@final
class Index:
    """A built search index. Made by `IndexBuilder.build` or `from_bytes`."""

    def search(
        self,
        query: str,
        limit: int | None = None,
        *,
        stats: QueryStats | None = None,
        phrases: bool = False,
    ) -> list[Result]: ...
    def query_stats(self, query: str, *, phrases: bool = False) -> QueryStats: ...
    def to_bytes(self, *, positions: bool = True) -> bytes: ...
    @staticmethod
    def from_bytes(data: bytes, language: str | None = None) -> Index: ...
    @property
    def fields(self) -> list[str]: ...
    @property
    def document_count(self) -> int: ...
    @property
    def term_count(self) -> int: ...
    @property
    def language(self) -> str: ...
    @property
    def pipeline(self) -> list[str]: ...
    @property
    def field_boosts(self) -> dict[str, float]: ...
    @property
    def references(self) -> list[str]: ...
    @property
    def k1(self) -> float: ...
    @property
    def b(self) -> float: ...
    @property
    def fingerprint(self) -> str: ...
    def __len__(self) -> int: ...

@final
class QueryStats:
    """One query's scoring statistics of an index; shards' statistics add up."""

    def __new__(
        cls,
        document_count: int,
        fields: dict[str, tuple[int, int]],
        terms: dict[str, int],
        sources: Sequence[tuple[str, str | None]] = (),
    ) -> QueryStats: ...
    def __add__(self, other: QueryStats | int, /) -> QueryStats: ...
    def __radd__(self, other: QueryStats | int, /) -> QueryStats: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]
    @property
    def document_count(self) -> int: ...
    @property
    def fields(self) -> dict[str, tuple[int, int]]: ...
    @property
    def terms(self) -> dict[str, int]: ...
    @property
    def sources(self) -> list[tuple[str, str | None]]: ...

@final
class Result:
    """One search hit."""

    @property
    def ref(self) -> str: ...
    @property
    def score(self) -> float: ...
    @property
    def matches(self) -> dict[str, dict[str, list[tuple[int, int]]]]: ...
    @property
    def terms(self) -> list[str]: ...

class QueryError(ValueError):
    """Raised when a query string cannot be parsed."""

    query: str
    start: int
    end: int

class FormatError(ValueError):
    """Raised when bytes are not a valid Vrim binary index."""

def languages() -> list[str]: ...
def tokenize(text: str, language: str) -> list[str]: ...
def normalize(text: str, language: str = "en") -> str: ...
def index_language(data: bytes) -> str: ...
