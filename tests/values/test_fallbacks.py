"""The non-native path: repr memo, bound methods, query sets, the database guard, proxies,
objects under construction and the host profiler flag."""

import os
import subprocess
import sys
import textwrap

import _quib
import _quib_testing
import msgpack
import pytest

from quib import serialize

native = _quib._native_dump_msgpack
Repr = serialize.Repr


class Counted:
    calls = 0

    def __repr__(self):
        type(self).calls += 1
        return "Counted()"

    def method(self):
        pass


def test_one_job_calls_each_repr_once():
    value = Counted()
    values = [value, [value, {"v": value}], value.method, value.method]
    encoded, _, hook_used, _, memoized = _quib_testing.encode_values(values)
    assert Counted.calls == 1 and memoized == 3 and hook_used
    unpacker = msgpack.Unpacker(raw=False, ext_hook=lambda code, data: data)
    unpacker.feed(encoded)
    assert list(unpacker)[-1] == f"<bound method {Counted.method.__qualname__} of Counted()>".encode()
    Counted.calls = 0
    many = [Counted() for _ in range(1100)]
    _, _, _, _, memoized = _quib_testing.encode_values([many, many])
    assert memoized == 1024 and Counted.calls == 1100 + 76


def test_plain_values_do_not_use_the_default_hook():
    _, _, hook_used, _, _ = _quib_testing.encode_values([[1, "a", {"b": None}], (1, 2)])
    assert hook_used is False


class Owner:
    def __repr__(self):
        return "Owner()"

    def method(self):
        pass


def test_bound_method_repr_is_built_from_its_self():
    bound = Owner().method
    expected = Repr(repr(bound))
    assert serialize.load_msgpack(native(bound)) == expected
    assert serialize.load_msgpack(serialize.dump_msgpack(bound)) == expected


def test_bound_method_without_a_name():
    class Nameless:  # its instances have neither __qualname__ nor __name__
        def __call__(self):
            pass

    import types

    bound = types.MethodType(Nameless(), Owner())
    assert serialize.load_msgpack(native(bound)) == Repr("<bound method ? of Owner()>")
    assert native(bound) == serialize.dump_msgpack(bound)


class FakeQuerySet:
    def __init__(self, model, cache=None):
        self.model = model
        self._result_cache = cache

    def __iter__(self):
        raise AssertionError("a query set must not be evaluated")

    def __repr__(self):
        return "<FakeQuerySet evaluated>"


def test_unevaluated_query_set_names_its_model(dump, host_globals):
    host_globals("_QuerySet_checked", True)
    host_globals("_QuerySet", FakeQuerySet)
    assert serialize.load_msgpack(dump(FakeQuerySet("shop.Order"))) == Repr(
        "Unevaluated queryset for: shop.Order")
    assert serialize.load_msgpack(dump(FakeQuerySet(Owner))) == Repr(
        f"Unevaluated queryset for: {Owner}")
    assert serialize.load_msgpack(dump(FakeQuerySet("m", cache=[1]))) == Repr("<FakeQuerySet evaluated>")


def test_query_set_class_is_asked_for_until_known(dump, host_globals):
    asked = []
    host_globals("_QuerySet_checked", False)
    host_globals("_get_queryset_class", lambda: asked.append(1) or FakeQuerySet)
    assert serialize.load_msgpack(dump([FakeQuerySet("a"), Owner()])) == [
        Repr("Unevaluated queryset for: a"), Repr("Owner()")]
    assert len(asked) == 2


class Guarded:
    def __repr__(self):
        raise serialize.DatabaseAccessBlocked("query")


def test_blocked_database_access_gives_the_query_free_repr(dump, host_globals):
    seen = []

    def query_free(value):
        seen.append(sys.exc_info()[0])
        return "<Guarded pk=1>"

    host_globals("_query_free_repr", query_free)
    assert serialize.load_msgpack(dump(Guarded())) == Repr("<Guarded pk=1>")
    assert seen == [serialize.DatabaseAccessBlocked]


def test_failing_query_free_repr_chains_the_cause():
    def broken(value):
        raise LookupError("inner")

    serialize_globals = vars(serialize)
    saved = serialize_globals["_query_free_repr"]
    serialize_globals["_query_free_repr"] = broken
    try:
        with pytest.raises(LookupError) as caught:
            native(Guarded())
    finally:
        serialize_globals["_query_free_repr"] = saved
    assert isinstance(caught.value.__context__, serialize.DatabaseAccessBlocked)


def test_database_guard_sees_native_encodes(host_globals):
    flags = []

    class Probe:
        def __repr__(self):
            flags.append((serialize.IN_QUIB_PROFILER, _quib._native_encode_in_progress(),
                          serialize.database_access_blocked()))
            return "Probe()"

    native(Probe())
    native(Probe(), lightweight_repr=True)  # no repr is called in lightweight mode
    assert flags == [(True, True, True)]
    assert serialize.IN_QUIB_PROFILER is False and not _quib._native_encode_in_progress()


def test_lazy_proxy_is_not_forced_to_learn_its_class(dump):
    class Lazy:
        forced = 0

        def __getattribute__(self, name):
            if name == "__class__":
                type(self).forced += 1
                return object
            return object.__getattribute__(self, name)

        def __repr__(self):
            return "Lazy()"

    class Ordinary:
        pass

    assert serialize.load_msgpack(dump(Lazy())) == Repr("Lazy()")
    assert Lazy.forced > 0  # a proxy is asked, through isinstance
    text = serialize.load_msgpack(dump(Ordinary())).text
    assert text.startswith("<") and "Ordinary object at" in text


def test_names_missing_from_the_host(dump, monkeypatch):
    monkeypatch.delattr(serialize, "Decimal")
    name = f"{__name__}.{Owner.__qualname__}"
    assert serialize.load_msgpack(dump(Owner())) == serialize.Unserializable(name)
    monkeypatch.delattr(serialize, "DatabaseAccessBlocked")
    with pytest.raises(NameError, match="^name 'DatabaseAccessBlocked' is not defined$") as caught:
        dump(Owner())
    assert "Decimal" in str(caught.value.__context__)


class Building:
    def __init__(self, capture):
        self.ready = False
        capture.append((native(self), serialize.dump_msgpack(self), native(self.method)))
        self.ready = True

    def __repr__(self):
        if not self.ready:
            raise AssertionError("repr of a half-built object")
        return "Building()"

    def method(self):
        pass


def test_self_of_a_running_init_is_a_placeholder():
    capture = []
    building = Building(capture)
    (native_text, python_text, method_text), = capture
    placeholder = f"<Building object at {id(building):#x} (under construction)>"
    assert serialize.load_msgpack(native_text) == Repr(placeholder)
    assert python_text == native_text
    assert serialize.load_msgpack(method_text) == Repr(
        f"<bound method Building.method of {placeholder}>")
    assert serialize.load_msgpack(native(building)) == Repr("Building()")


def test_plain_objects_never_ask_for_the_construction_list(dump, host_globals):
    def never():
        raise AssertionError("the construction list was asked for")

    class Bare:
        pass

    host_globals("_objects_under_construction", never)
    assert serialize.load_msgpack(dump(Bare())).text.startswith("<")


def test_construction_list_errors_name_the_type(dump, host_globals):
    host_globals("_objects_under_construction", lambda: "not a list")
    name = f"{__name__}.{Owner.__qualname__}"
    assert serialize.load_msgpack(dump(Owner())) == serialize.Unserializable(name)


def test_construction_groups_mark_instances_of_a_type(dump, host_globals):
    done = Owner()
    busy = Owner()
    host_globals("_objects_under_construction", lambda: [0, id(Owner), 0, 1, id(done)])
    decoded = serialize.load_msgpack(dump([done, busy]))
    assert decoded[0] == Repr("Owner()")
    assert decoded[1].text.endswith("(under construction)>")


def test_construction_check_switched_off_by_environment():
    script = textwrap.dedent("""
        import _quib
        from quib import serialize

        def never():
            raise AssertionError("asked")

        serialize._objects_under_construction = never

        class Owner:
            def __repr__(self):
                return "Owner()"

        assert serialize.load_msgpack(_quib._native_dump_msgpack(Owner())) == serialize.Repr("Owner()")
        assert serialize.load_msgpack(serialize.dump_msgpack(Owner())) == serialize.Repr("Owner()")
    """)
    env = dict(os.environ, QUIB_CONSTRUCTION_CHECK="0")
    subprocess.run([sys.executable, "-c", script], env=env, check=True)
