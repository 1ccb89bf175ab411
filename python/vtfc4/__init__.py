"""vtFC4 from Python: the library's objects, late-bound through IDispatch.

    import vtfc4
    with vtfc4.desktop_session("/path/books.vtc") as s:
        request = s.new_request()
        request.AppendCustomerAddRq().Name.SetValue("Ames Trading")
        for response in s.send(request):
            print(response.StatusCode, response.Detail)

Every object the library hands back is an instance of a class made for its interface from the
type library: properties are attributes, methods take positional and keyword arguments, and a
method with outputs returns them with its result as a tuple, in the order of its parameters. A failing call raises ComError.
"""

import contextlib
import inspect
import keyword

from . import _native

__all__ = [
    "ComError", "UnknownNameError", "Object", "ListObject", "Dispatch", "constants",
    "desktop_session", "Session", "can_unload_now", "set_code_page", "code_page",
]


class ComError(Exception):
    """A failed automation call.

    hresult      the status code as an unsigned 32-bit number (0x80040400, never negative)
    description  the error's text, from the thread's error object or the call's EXCEPINFO
    source       who raised it ("" when the library did not say)
    argerr       for a type mismatch or a missing parameter: the argument's index as Invoke
                 counts it (DISPPARAMS order: named arguments first, then the positional ones
                 from the last); None otherwise
    argument     the same argument as the Python call gave it: its position (int) or its
                 keyword (str); None otherwise
    """

    def __init__(self, hresult, description="", source="", argerr=None, argument=None):
        self.hresult = hresult
        self.description = description
        self.source = source
        self.argerr = argerr
        self.argument = argument
        super().__init__(hresult, description)

    @property
    def hresult_signed(self):
        """The status code as the signed 32-bit HRESULT a C++ client sees."""
        return self.hresult - (1 << 32) if self.hresult & 0x80000000 else self.hresult

    def __str__(self):
        text = "0x%08X" % self.hresult
        if self.description:
            text += ": " + self.description
        if self.source:
            text += " (" + self.source + ")"
        return text


class UnknownNameError(ComError, AttributeError):
    """DISP_E_UNKNOWNNAME: the object has no member of that name (also an AttributeError)."""


# ---- Objects.

# A member the set's vtXML version does not have: a record read through to_dict() leaves it out.
_NOT_IN_VERSION = 0x8004030B

# The members worth showing in repr(), in that order, when a type has them.
_KEY_MEMBERS = ("ListID", "TxnID", "FullName", "Name", "RefNumber", "StatusCode", "StatusMessage",
                "ReportTitle")


def _is_value(obj):
    """A typed value (string, amount, date...): it has GetValue and IsSet."""
    cls = type(obj)
    return isinstance(obj, Object) and "GetValue" in cls._members and "IsSet" in cls._members


def _plain(value):
    """A value object as its value, None when it is not set; anything else as it is."""
    if _is_value(value):
        return value.GetValue() if value.IsSet() else None
    return value


class Object:
    """A late-bound automation object. Its class is made from the interface's type information."""

    __slots__ = ("_o",)
    _members = {}
    _folded = {}

    def __getattr__(self, name):
        # Members not found on the class, such as a name in another case: resolved by
        # GetIDsOfNames on the object itself.
        if name.startswith("__"):
            raise AttributeError(name)
        member = type(self)._folded.get(name.lower())
        if member is not None:
            return getattr(self, member)
        o = object.__getattribute__(self, "_o")
        o.id_of(name)  # raises UnknownNameError, an AttributeError, when there is none
        return lambda *args, **kwargs: o.invoke_by_name(
            name, _native.DISPATCH_METHOD | _native.DISPATCH_PROPERTYGET, *args, **kwargs)

    def __setattr__(self, name, value):
        if name == "_o" or hasattr(type(self), name):
            object.__setattr__(self, name, value)
            return
        member = type(self)._folded.get(name.lower())
        if member is not None:
            setattr(self, member, value)
            return
        self._o.invoke_by_name(name, _native.DISPATCH_PROPERTYPUT, value)

    def __eq__(self, other):
        # One object, whichever interface it was handed out as.
        return isinstance(other, Object) and self._o.identity() == other._o.identity()

    def __hash__(self):
        return hash(self._o.identity())

    def __repr__(self):
        name = type(self).__name__
        if _is_value(self):
            try:
                return "<%s %r>" % (name, self.GetValue()) if self.IsSet() else "<%s unset>" % name
            except ComError:
                return "<%s>" % name
        shown = []
        for key in _KEY_MEMBERS:
            if type(self)._members.get(key, {}).get("kind") != "property":
                continue
            try:
                value = _plain(getattr(self, key))
            except ComError:
                continue
            if value is not None and not isinstance(value, Object):
                shown.append("%s=%r" % (key, value))
        return "<%s%s>" % (name, "".join(" " + s for s in shown))

    def to_dict(self, depth=8):
        """The object's properties as a dict, from its type information.

        Typed values become their values (unset ones are left out), lists become lists,
        records nested dicts, to `depth` levels. Absent members (None) are left out, and so
        are those the set's vtXML version does not have, and Type, the object's kind, which
        type(obj).__name__ already names.
        """
        out = {}
        for name, member in type(self)._members.items():
            if member["kind"] != "property" or name == "Type":
                continue
            try:
                value = _plain(getattr(self, name))
            except ComError as error:
                if error.hresult != _NOT_IN_VERSION:
                    raise
                continue
            if isinstance(value, ListObject):
                value = [_dict_of(item, depth - 1) for item in value] if depth > 0 else value
            elif isinstance(value, Object):
                value = _dict_of(value, depth - 1)
            if value is not None:
                out[name] = value
        return out


def _dict_of(value, depth):
    value = _plain(value)
    if isinstance(value, Object) and depth > 0:
        return value.to_dict(depth)
    return value


class ListObject(Object):
    """A list of the library (Count and GetAt): len(), indexing from either end, iteration."""

    __slots__ = ()

    def __len__(self):
        return self.Count

    def __getitem__(self, index):
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(len(self)))]
        if not isinstance(index, int):
            raise TypeError("list indices are integers or slices, not %s" % type(index).__name__)
        count = len(self)
        position = index + count if index < 0 else index
        if not 0 <= position < count:
            raise IndexError("index %d out of a list of %d" % (index, count))
        return self.GetAt(position)

    def __iter__(self):
        for i in range(len(self)):
            yield self.GetAt(i)

    def __repr__(self):
        return "<%s Count=%d>" % (type(self).__name__, len(self))

    def to_dict(self, depth=8):
        return {"Count": len(self)}


# ---- A class per interface, from its type information.

_classes = {}


def _identifier(name):
    return name + "_" if keyword.iskeyword(name) else name


def _property(member):
    dispid, name = member["dispid"], member["name"]

    def get(self):
        return self._o.get(dispid, name)

    put = None
    if member["settable"]:
        def put(self, value):
            self._o.put(dispid, name, value)

    kind = "read and written" if put else "read"
    return property(get, put, doc="%s (%s), %s" % (name, member["result"] or "?", kind))


def _method(member):
    dispid, name = member["dispid"], member["name"]

    def call(self, *args, **kwargs):
        return self._o.call(dispid, name, *args, **kwargs)

    inputs = [p for p in member["params"] if p[2] == "in"]
    outputs = [p for p in member["params"] if p[2] == "out"]
    parameters = [inspect.Parameter("self", inspect.Parameter.POSITIONAL_OR_KEYWORD)]
    parameters += [inspect.Parameter(_identifier(p[0]), inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in inputs]
    call.__name__ = name
    call.__qualname__ = name
    call.__signature__ = inspect.Signature(parameters)
    returned = ["%s %s" % (p[1], p[0]) if len(outputs) else p[1] for p in member["params"] if p[2] != "in"]
    call.__doc__ = "%s(%s) -> %s" % (
        name, ", ".join("%s %s" % (p[1], p[0]) for p in inputs),
        ("(" + ", ".join(returned) + ")") if len(returned) > 1 else (returned[0] if returned else "None"))
    return call


def _class_for(native):
    key = native.iid
    cls = _classes.get(key)
    if cls is not None:
        return cls
    members = {m["name"]: m for m in native.members()}
    namespace = {"__slots__": (), "_members": members, "_folded": {n.lower(): n for n in members},
                 "__module__": __name__}
    for name, member in members.items():
        namespace[name] = _property(member) if member["kind"] == "property" else _method(member)
    namespace["__doc__"] = "%s: %d members, late-bound through IDispatch." % (native.type_name or "IDispatch",
                                                                            len(members))
    is_list = members.get("Count", {}).get("kind") == "property" and "GetAt" in members
    cls = type(native.type_name or "IDispatch", (ListObject if is_list else Object,), namespace)
    _classes[key] = cls
    return cls


def _wrap(native):
    obj = object.__new__(_class_for(native))
    object.__setattr__(obj, "_o", native)
    return obj


_native.bind(ComError, UnknownNameError, _wrap)


def Dispatch(progid_or_clsid):
    """A new object of a registered class, by ProgID ("VTFC4.VTSessionManager") or "{CLSID}"."""
    return _native.dispatch(progid_or_clsid)


def can_unload_now():
    """True when no object of the library lives any more (DllCanUnloadNow answers S_OK)."""
    return _native.can_unload_now()


def set_code_page(iconv_name):
    """Sets the calling thread's narrow code page ("UTF-8", "WINDOWS-1252"...). The library
    keeps text values in it: under the default Windows-1252 a character outside it becomes
    "?"; under UTF-8 any text is kept."""
    _native.set_code_page(iconv_name)


def code_page():
    """The calling thread's narrow code page."""
    return _native.code_page()


# ---- Enumerations, from the type library, read on first use.

class _Constants:
    """Every enumeration value of the type library by name (constants.roeContinue), and each
    enumeration as a dict (constants.ENRqOnError)."""

    def __init__(self):
        self._values = None
        self._enums = None

    def _load(self):
        if self._values is None:
            enums = _native.enumerations()
            values = {}
            for values_of in enums.values():
                values.update(values_of)
            self._enums, self._values = enums, values

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        self._load()
        if name in self._values:
            return self._values[name]
        if name in self._enums:
            return dict(self._enums[name])
        raise AttributeError("the type library has no enumeration value " + name)

    def __dir__(self):
        self._load()
        return sorted(set(self._values) | set(self._enums))


constants = _Constants()


# ---- Sessions.

class Session:
    """An open session: the session manager's members, and sending a request set."""

    def __init__(self, manager):
        self.manager = manager

    def __getattr__(self, name):
        if self.manager is None:
            raise AttributeError("the session has ended: no " + name)
        return getattr(self.manager, name)

    def new_request(self, country="US", major=4, minor=0):
        """An empty request set for the edition and vtXML version."""
        return self.manager.CreateMsgSetRequest(country, major, minor)

    def send(self, request):
        """Sends the set; the response list (iterable, indexable)."""
        return self.manager.DoRequests(request).ResponseList


class desktop_session(contextlib.AbstractContextManager):
    """`with desktop_session(company_file) as s:` opens a connection and a session on the
    company file and always ends both, even when the block raises (an error while ending
    them then gives way to the block's own)."""

    def __init__(self, company_file, app_name="vtFC4 Python", app_id="", mode=None,
                 progid="VTFC4.VTSessionManager"):
        self._args = (company_file, app_name, app_id, mode, progid)
        self.session = None

    def __enter__(self):
        company_file, app_name, app_id, mode, progid = self._args
        manager = Dispatch(progid)
        manager.OpenConnection(app_id, app_name)
        try:
            manager.BeginSession(company_file, constants.omDontCare if mode is None else mode)
        except BaseException:
            with contextlib.suppress(ComError):
                manager.CloseConnection()
            raise
        self.session = Session(manager)
        return self.session

    def __exit__(self, kind, error, trace):
        # The ended session lets its manager go, so that nothing of it outlives the block.
        manager, self.session.manager = self.session.manager, None
        self.session = None
        if kind is None:
            try:
                manager.EndSession()
            finally:
                manager.CloseConnection()
            return False
        with contextlib.suppress(ComError):
            manager.EndSession()
        with contextlib.suppress(ComError):
            manager.CloseConnection()
        return False
