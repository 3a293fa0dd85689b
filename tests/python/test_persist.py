"""Pickling, save() and load()."""

import os
import pickle

import pytest

import vrim


@pytest.fixture
def index():
    builder = vrim.IndexBuilder("fr")
    builder.field("title", 2.0)
    builder.field("body")
    builder.add_many([{"id": "a", "title": "Les pommes", "body": "rouges et sucrées"},
                      {"id": "b", "title": "Poires", "body": "une pomme mûre"}])
    return builder.build()


def same(a, b):
    assert (a.language, a.fields, len(a), a.term_count) == (
        b.language, b.fields, len(b), b.term_count)
    assert [(h.ref, h.score, h.matches) for h in a.search("pomme")] == [
        (h.ref, h.score, h.matches) for h in b.search("pomme")]


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
def test_index_pickles(index, protocol):
    same(pickle.loads(pickle.dumps(index, protocol)), index)
    same(pickle.loads(pickle.dumps([index, index], protocol))[1], index)


def test_save_and_load(index, tmp_path):
    path = tmp_path / "fruit.vrim"
    path.write_bytes(b"old content")
    vrim.save(index, path)
    same(vrim.load(path), index)
    same(vrim.load(str(path), "fr"), index)
    assert os.listdir(tmp_path) == ["fruit.vrim"]  # no temporary file left
    vrim.save(index, path, positions=False)
    hit = vrim.load(path).search("pomme")[0]
    assert [spans for fields in hit.matches.values() for spans in fields.values()] == [[]]
    with pytest.raises(vrim.FormatError, match="built for language"):
        vrim.load(path, "en")


def test_failed_save_leaves_the_old_file(index, tmp_path):
    path = tmp_path / "fruit.vrim"
    path.write_bytes(b"old")
    with pytest.raises(TypeError):
        vrim.save(index, path, positions=1)
    with pytest.raises(TypeError):
        vrim.save(b"not an index", path)
    with pytest.raises(FileNotFoundError):
        vrim.save(index, tmp_path / "missing" / "x.vrim")
    assert path.read_bytes() == b"old" and os.listdir(tmp_path) == ["fruit.vrim"]
    (tmp_path / "junk").write_bytes(b"junk")
    with pytest.raises(vrim.FormatError):
        vrim.load(tmp_path / "junk")


@pytest.mark.parametrize("language", ["en", "zh"])
def test_a_token_longer_than_the_reader_takes_is_refused_not_written(
        index, tmp_path, language):
    limit = 1 << 20  # the longest position an index file may hold
    b = vrim.IndexBuilder(language)
    b.field("body")
    b.add({"id": "blob/1", "body": "data: " + "Q" * (limit + 1) + " end"})
    b.add({"id": "fits", "body": "x" * limit})
    big = b.build()
    message = ('document "blob/1", field "body" holds a token of 1048577 '
               'characters; an index file stores tokens of at most 1048576')
    with pytest.raises(ValueError, match=message):
        big.to_bytes()
    path = tmp_path / "kept.vrim"
    vrim.save(index, path)
    with pytest.raises(ValueError, match=message):
        vrim.save(big, path)
    assert vrim.load(path).document_count == index.document_count
    assert vrim.Index.from_bytes(big.to_bytes(positions=False)).document_count == 2
