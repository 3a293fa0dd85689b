"""Collections: writing, snapshots, merging, and search equal to one fresh
index of the live documents."""

import os
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import vrim
from collection_model import (COLUMNS, FIELDS, WORDS, check_searches, fresh_index,
                              got_page, expected_page)
from vrim._collection import TieredMergePolicy



def create(path, **kw):
    return vrim.Collection.create(path, "en", FIELDS, columns=COLUMNS, **kw)


def doc(ref, title="", body=None, **meta):
    return {"id": ref, "title": title, "body": body, "lang": None, "year": None,
            "weight": None, **meta}


def files_on_disk(path):
    return sorted(os.listdir(os.path.join(path, "segments")))


def named_files(path):
    import sqlite3
    with sqlite3.connect(os.path.join(path, "catalog.sqlite")) as db:
        return sorted(f for (f,) in db.execute("SELECT file FROM segments"))


# -- the property ------------------------------------------------------------

texts = st.lists(st.sampled_from(WORDS), max_size=6).map(" ".join)
documents = st.builds(
    doc, st.sampled_from([f"d{i}" for i in range(14)]), texts,
    st.one_of(st.none(), texts), lang=st.sampled_from(["en", "fr", None]),
    year=st.sampled_from([None, 1990, 1995, 1999]),
    weight=st.sampled_from([None, 0.25, 1.5]))
refs = st.sampled_from([f"d{i}" for i in range(16)])
batches = st.tuples(st.lists(documents, min_size=1, max_size=8), st.lists(refs, max_size=3))
steps = st.lists(st.one_of(
    st.tuples(st.sampled_from(["commit", "commit", "commit", "abort"]), batches),
    st.tuples(st.sampled_from(["merge", "optimize", "reopen"]), st.none())),
    min_size=2, max_size=14)
WHERES = [None, {"lang": "en"}, {"year": (1991, None)},
          {"lang": ["en", "fr"], "weight": (None, 0.5)}, {"weight": {1.5}}]
CUTS = [(None, 0), (1, 0), (3, 2)]


@settings(max_examples=40, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(program=steps, policy=st.builds(TieredMergePolicy, st.sampled_from([2, 4, 100]),
                                       st.just(2), st.sampled_from([0.0, 0.5])))
def test_searches_equal_a_fresh_index_after_every_step(tmp_path_factory, program, policy):
    path = str(tmp_path_factory.mktemp("c") / "coll")
    model = {}
    coll = create(path)
    coll.merge_policy = policy
    try:
        for kind, batch in program:
            if kind in ("commit", "abort"):
                upserts, deletions = batch
                try:
                    with coll.writer() as w:
                        w.upsert(upserts)
                        w.delete(deletions)
                        if kind == "abort":
                            raise KeyError("abort")
                except KeyError:
                    pass
                if kind == "commit":
                    model.update((d["id"], d) for d in upserts)
                    for ref in deletions:
                        model.pop(ref, None)
            elif kind == "merge":
                with coll.writer() as w:
                    if len(w.sizes()) > 1:
                        w.merge_segments([s.id for s in w.sizes()[-2:]])
            elif kind == "optimize":
                coll.optimize()
                assert len(coll.segments) <= 1
            else:
                coll.close()
                with vrim.Collection.open(path, readonly=True) as readonly:
                    check_searches(readonly, model, queries=["river"])
                coll = vrim.Collection.open(path)
                coll.merge_policy = policy
            assert len(coll) == len(model) and list(coll) == sorted(model)
            check_searches(coll, model, wheres=WHERES, cuts=CUTS,
                           queries=["apple", "+river -sea", "ston* aple~1 pear^2"])
        assert files_on_disk(path) == named_files(path)
    finally:
        coll.close()


# -- writing -------------------------------------------------------------------

def test_round_trip_of_documents_and_settings(tmp_path):
    path = tmp_path / "c"
    with create(path, k1=1.5, b=0.5) as coll:
        with coll.writer() as w:
            w.upsert([doc("a", "Red apples", "sweet", lang="en", year=1999),
                      {**doc("b", "Pears"), "extra": [1, {"x": None}]}])
            assert w.staged == 2
        assert coll.get("b")["extra"] == [1, {"x": None}]
        assert coll.get("zz") is None and "a" in coll and "zz" not in coll
    with vrim.Collection.open(path, readonly=True) as coll:
        assert (coll.language, coll.fields, coll.columns, coll.k1, coll.b) == (
            "en", FIELDS, {"lang": "str", "year": "int", "weight": "float"}, 1.5, 0.5)
        page = coll.search("apple", facets=["lang"])
        hit = page.hits[0]
        assert (hit.ref, page.total, page.facets) == ("a", 1, {"lang": [("en", 1)]})
        assert hit.doc["year"] == 1999 and hit.highlight("title") == "Red [apples]"
        assert hit.snippet("body") == "sweet"
        with pytest.raises(PermissionError):
            coll.writer()
        with pytest.raises(ValueError, match="not a field"):
            hit.snippet("nope")


def test_exception_in_the_block_leaves_nothing(tmp_path):
    path = str(tmp_path / "c")
    with create(path) as coll:
        with coll.writer() as w:
            w.upsert(doc("a", "apple"))
        before = (coll.generation, files_on_disk(path))
        with pytest.raises(RuntimeError):
            with coll.writer() as w:
                w.upsert(doc("b", "apple"))
                w.delete("a")
                raise RuntimeError
        assert (coll.generation, files_on_disk(path)) == before
        assert list(coll) == ["a"]


@pytest.mark.parametrize("bad,error,message", [
    ([{"title": "x"}], ValueError, "document 0 of the batch needs a str reference"),
    ([doc("a"), doc("b", year="1999")], TypeError, "document 'b': column 'year': expected int"),
    ([doc("a", year=True)], TypeError, "expected int, got bool"),
    ([doc("a", weight=float("nan"))], ValueError, "NaN"),
    ([doc("a", year=2**70)], ValueError, "64 bits"),
    ([doc("a", title=5)], TypeError, "document 'a': field 'title' must be a str"),
    ([{**doc("a"), "x": object()}], TypeError, "document 'a' cannot be stored as JSON"),
    ([doc("a", "\ud800")], UnicodeEncodeError, "document 'a' holds text"),
    (["a"], TypeError, "document 0 of the batch is a str"),
    (5, TypeError, "not int"),
])
def test_bad_documents_name_the_document_and_stage_nothing(tmp_path, bad, error, message):
    with create(tmp_path / "c") as coll, coll.writer() as w:
        with pytest.raises(error, match=message):
            w.upsert(bad)
        assert w.staged == 0


@pytest.mark.parametrize("where,error,message", [
    ({"nope": 1}, ValueError, "'nope' is not a column"),
    ({"year": "1999"}, TypeError, "column 'year': expected int"),
    ({"year": (1, 2, 3)}, ValueError, "a range is a"),
    ({"lang": None}, TypeError, "None is not a condition"),
    ([("lang", "en")], TypeError, "where must be a mapping"),
])
def test_bad_where(tmp_path, where, error, message):
    with create(tmp_path / "c") as coll:
        with pytest.raises(error, match=message):
            coll.search("apple", where=where)


def test_where_values_are_parameters_not_sql(tmp_path):
    with create(tmp_path / "c") as coll:
        with coll.writer() as w:
            w.upsert([doc("a", "apple", lang="en"), doc("b", "apple", lang="x' OR 1=1 --")])
        assert [h.ref for h in coll.search("apple", where={"lang": "x' OR 1=1 --"})] == ["b"]
        assert coll.search("apple", where={"lang": ["zz'); DROP TABLE documents; --"]}).total == 0
        assert len(coll) == 2


@pytest.mark.parametrize("call,error", [
    (lambda c: c.search(5), TypeError),
    (lambda c: c.search("a", -1), ValueError),
    (lambda c: c.search("a", offset=-1), ValueError),
    (lambda c: c.search("a", facets=["nope"]), ValueError),
    (lambda c: c.search("title:"), vrim.QueryError),
    (lambda c: c.get(5), TypeError),
])
def test_bad_search_arguments(tmp_path, call, error):
    with create(tmp_path / "c") as coll:
        with pytest.raises(error):
            call(coll)


@pytest.mark.parametrize("args,kw,error,message", [
    (("en", {}), {}, ValueError, "at least one field"),
    (("en", {"t": 0}), {}, ValueError, "boost must be a positive"),
    (("en", "title"), {}, TypeError, "fields must map"),
    (("en", ["t"]), {"columns": {"c": list}}, TypeError, "str, int or float"),
])
def test_bad_create_arguments(tmp_path, args, kw, error, message):
    with pytest.raises(error, match=message):
        vrim.Collection.create(tmp_path / "c", *args, **kw)


def test_create_refuses_an_existing_collection_and_open_a_missing_one(tmp_path):
    create(tmp_path / "c").close()
    with pytest.raises(FileExistsError):
        create(tmp_path / "c")
    with pytest.raises(FileNotFoundError):
        vrim.Collection.open(tmp_path / "missing")


def test_data_frame_rows_are_documents(tmp_path):
    pandas = pytest.importorskip("pandas")
    frame = pandas.DataFrame({"id": ["a", "b"], "title": ["apple", None],
                              "body": ["x", "y"], "year": [1999, None],
                              "lang": ["en", "fr"], "weight": [0.5, float("nan")]})
    with create(tmp_path / "c") as coll:
        with coll.writer() as w:
            assert w.upsert(frame) == 2
        assert coll.get("b") == {"id": "b", "title": None, "body": "y", "year": None,
                                 "lang": "fr", "weight": None}
        assert coll.get("a")["year"] == 1999


# -- locking, leftovers, snapshots ---------------------------------------------

def test_second_writer_waits_then_times_out(tmp_path):
    with create(tmp_path / "c") as coll:
        first = coll.writer()
        with first:
            with pytest.raises(TimeoutError, match="another writer"):
                with coll.writer(timeout=0.05):
                    pass
            # A waiting writer gets the collection once the first leaves.
            waiter = threading.Thread(target=lambda: coll.optimize(timeout=30))
            waiter.start()
            first.upsert(doc("a", "apple"))
        waiter.join()
        with pytest.raises(RuntimeError, match="entered once"):
            with first:
                pass
    with coll_open(tmp_path / "c") as coll, coll.writer(timeout=0):
        assert len(coll) == 1


def coll_open(path):
    return vrim.Collection.open(path)


def test_leftover_files_are_removed_by_the_next_writer(tmp_path):
    path = str(tmp_path / "c")
    with create(path) as coll:
        with coll.writer() as w:
            w.upsert(doc("a", "apple"))
        stray = os.path.join(path, "segments", "0123456789abcdef.vrim")
        with open(stray, "wb") as f:
            f.write(b"half a commit")
        with coll_open(path) as other:
            assert other.search("apple").total == 1  # readers ignore it
        with coll.writer():
            pass
        assert files_on_disk(path) == named_files(path) and len(named_files(path)) == 1


def test_readers_keep_their_snapshot_until_refresh(tmp_path):
    path = str(tmp_path / "c")
    with create(path) as writer_side, coll_open(path) as reader:
        with writer_side.writer() as w:
            w.upsert([doc("a", "apple"), doc("b", "apple pear")])
        assert reader.search("apple").total == 0
        assert reader.refresh() and reader.search("apple").total == 2
        loaded = reader.segments
        with writer_side.writer() as w:
            w.delete("a")
            w.upsert(doc("c", "pear"))
        writer_side.optimize()
        assert reader.get("a") is not None and reader.search("apple").total == 2
        assert reader.refresh() and not reader.refresh()
        assert reader.get("a") is None and len(reader.segments) == 1
        assert reader.segments[0] is not loaded[0]
        check_searches(reader, {"b": doc("b", "apple pear"), "c": doc("c", "pear")})


def test_refresh_reuses_loaded_segments(tmp_path):
    path = str(tmp_path / "c")
    with create(path) as coll:
        coll.merge_policy = TieredMergePolicy(factor=100)
        for ref in "abc":
            with coll.writer() as w:
                w.upsert([doc(ref, "apple"), doc(ref + "2", "pear")])
        before = coll.segments
        with coll.writer() as w:
            w.delete("a")
        assert [s is t for s, t in zip(before, coll.segments)] == [True] * 3


def test_refresh_does_not_mistake_a_new_segment_for_a_merged_one(tmp_path):
    # A merge that leaves nothing frees the newest segment id, which the
    # next commit's segment takes: a reader must load that new file.
    path = str(tmp_path / "c")
    with create(path) as writer_side, coll_open(path) as reader:
        for ref in "ab":
            with writer_side.writer(merge=False) as w:
                w.upsert(doc(ref, "apple"))
        assert reader.refresh()
        with writer_side.writer(merge=False) as w:
            w.delete("b")
            w.merge_segments([max(s.id for s in w.sizes())])
        with writer_side.writer(merge=False) as w:
            w.upsert(doc("c", "cherry"))
        assert reader.refresh()
        check_searches(reader, {"a": doc("a", "apple"), "c": doc("c", "cherry")})


def test_tiered_policy_keeps_about_log_n_segments(tmp_path):
    policy = TieredMergePolicy(factor=3, floor=2)
    with create(tmp_path / "c") as coll:
        coll.merge_policy = policy
        for n in range(60):
            with coll.writer() as w:
                w.upsert([doc(f"{n}-{i}", "apple") for i in range(2)])
            tiers = {}
            for index in coll.segments:
                tiers.setdefault(policy.tier(len(index)), []).append(index)
            assert all(len(members) < 3 for members in tiers.values())
        assert len(coll) == 120 and len(coll.segments) <= 2 * 4


def test_empty_collection_searches(tmp_path):
    with create(tmp_path / "c") as coll:
        page = coll.search("apple", facets=["lang"])
        assert (page.hits, page.total, page.facets) == ([], 0, {"lang": []})
        with coll.writer() as w:
            w.upsert(doc("a", "apple"))
        with coll.writer() as w:
            w.delete(["a", "never-there"])
        assert coll.search("apple").total == 0 and coll.segments == []
        assert got_page(coll.search("apple")) == expected_page(
            fresh_index({}), {}, "apple", 10, 0, None, ())


def damage(path, edit):
    (name,) = files_on_disk(path)
    segment = os.path.join(path, "segments", name)
    data = bytearray(open(segment, "rb").read())
    edit(data)
    open(segment, "wb").write(bytes(data))


def flip_the_last_byte(data):
    data[-1] ^= 1  # the index still decodes: only the digest tells


def merge_all(coll):
    with coll.writer(merge=False) as w:
        w.merge_segments([s.id for s in w.sizes()])


@pytest.mark.parametrize("use", [
    lambda coll: coll.search("river"), lambda coll: coll.segments, merge_all])
def test_a_damaged_segment_is_refused_before_its_first_use(tmp_path, use):
    path = str(tmp_path / "c")
    with create(path) as coll, coll.writer() as w:
        w.upsert([doc("a", "apple river"), doc("b", "pear")])
    damage(path, flip_the_last_byte)
    with vrim.Collection.open(path) as coll:
        for _ in range(2):  # and again: a damaged segment is never let through
            with pytest.raises(ValueError, match="is damaged"):
                use(coll)


def test_a_segment_that_does_not_decode_is_refused_as_damaged(tmp_path):
    path = str(tmp_path / "c")
    with create(path) as coll, coll.writer() as w:
        w.upsert(doc("a", "apple river"))
    damage(path, lambda data: data.__delitem__(slice(len(data) // 2, None)))
    with pytest.raises(ValueError, match="is damaged"):
        vrim.Collection.open(path)
