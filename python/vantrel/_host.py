"""The one call path from Python to the library: loads the stand-in host and
libvantrel.so through ctypes and makes host calls with records built over
numpy arrays.

Argument matrices are handed to the host without a copy: a record's row
pointers point into a C-ordered float64 array that the caller keeps alive for
the call.  Results the host allocates (return record, referenced variables)
are copied into numpy arrays and released at once.
"""
import contextlib
import contextvars
import ctypes
import os
import threading
import warnings

import numpy as np

__all__ = ["VantrelError", "VantrelNumericalError", "VantrelWarning", "OUT",
           "InOut", "call", "lib_dir", "seed"]

_INT, _DOUBLE, _MATRIX, _REFERENCE = 1, 2, 3, 5
_ERRLEN = 512
_INT_MAX = 2**31 - 1


class VantrelError(ValueError):
    """A run-time error raised by the host, carrying its message."""

    def __init__(self, message, code=1):
        super().__init__(message)
        self.code = code


class VantrelNumericalError(VantrelError):
    """A numerical failure of a host function, raised in strict mode."""


class VantrelWarning(UserWarning):
    """A warning printed by the library, or a numerical failure outside
    strict mode."""


class _Matrix(ctypes.Structure):
    _fields_ = [("rows", ctypes.c_int), ("cols", ctypes.c_int),
                ("data", ctypes.c_void_p)]


class _Slot(ctypes.Union):
    _fields_ = [("ival", ctypes.c_int), ("dval", ctypes.c_double),
                ("mval", _Matrix), ("ref", ctypes.c_void_p)]


class _Value(ctypes.Structure):
    """KelVALUE: an int tag, then one union slot."""
    _fields_ = [("type", ctypes.c_int), ("v", _Slot)]


_SINK = ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_void_p)


class _Out:
    """Marks a reference argument whose variable receives a result."""

    def __repr__(self):
        return "OUT"


OUT = _Out()


class InOut:
    """A reference argument whose variable holds `array` on entry (as a
    host-owned copy, since the library may release it) and a result on
    return.  An empty array stands for the empty matrix."""

    __slots__ = ("array",)

    def __init__(self, array):
        self.array = array


def lib_dir():
    """The folder the two libraries are loaded from: $VANTREL_LIB_DIR when
    set (a build tree), else the package's own _libs folder."""
    env = os.environ.get("VANTREL_LIB_DIR")
    if env:
        return os.path.abspath(env)
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), "_libs")


class _Host:
    """The loaded host and library, and the per-call state."""

    def __init__(self):
        folder = lib_dir()
        host_path = os.path.join(folder, "libkelhost.so")
        lib_path = os.path.join(folder, "libvantrel.so")
        for path in (host_path, lib_path):
            if not os.path.exists(path):
                raise ImportError(
                    "vantrel: %s not found; build the project and set "
                    "VANTREL_LIB_DIR to the build folder, or install the "
                    "package with pip" % path)
        # Global visibility: libvantrel.so resolves the host runtime from the
        # process.
        self.host = ctypes.CDLL(host_path, mode=ctypes.RTLD_GLOBAL)
        h = self.host
        h.kelhost_open.restype = ctypes.c_void_p
        h.kelhost_open.argtypes = [ctypes.c_char_p]
        h.kelhost_last_error.restype = ctypes.c_char_p
        h.kelhost_lookup.restype = ctypes.c_void_p
        h.kelhost_lookup.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        h.kelhost_symbol.restype = ctypes.c_void_p
        h.kelhost_symbol.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
        h.kelhost_matrix.restype = ctypes.c_void_p
        h.kelhost_matrix.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int]
        h.kelhost_free_value.restype = None
        h.kelhost_free_value.argtypes = [ctypes.c_void_p]
        h.kelhost_seed.restype = None
        h.kelhost_seed.argtypes = [ctypes.c_ulonglong]
        self.handle = h.kelhost_open(lib_path.encode())
        if not self.handle:
            raise ImportError("vantrel: cannot load %s: %s" % (
                lib_path, h.kelhost_last_error().decode(errors="replace")))
        self._call = h.kelhost_call
        self._call.restype = ctypes.c_int
        self._call.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p,
                               ctypes.c_int, ctypes.c_void_p, ctypes.c_size_t]
        self._errbuf = ctypes.create_string_buffer(_ERRLEN)
        self._errbuf_p = ctypes.c_void_p(ctypes.addressof(self._errbuf))
        self._entries = {}
        self.messages = []
        self._sink = _SINK(self._message)
        h.kelhost_set_message_sink(self._sink, None)
        self.lock = threading.RLock()

    def _message(self, text, _context):
        self.messages.append(text.decode(errors="replace").strip("\n"))

    def entry(self, name):
        fn = self._entries.get(name)
        if fn is None:
            fn = self.host.kelhost_lookup(self.handle, name.encode())
            if not fn:
                raise AttributeError("vantrel: the library has no host function %s" % name)
            self._entries[name] = fn
        return fn

    def symbol(self, name):
        return self.host.kelhost_symbol(self.handle, name.encode())


_state = {}
_load_lock = threading.Lock()


def host():
    """The loaded host (loaded on first use)."""
    h = _state.get("host")
    if h is None:
        with _load_lock:
            h = _state.get("host")
            if h is None:
                h = _state["host"] = _Host()
    return h


def seed(value):
    """Seeds the host's standard normal generator, from which
    Model.conditional takes the numbers of its draws.  `value`: an int in
    0 .. 2**64 - 1.  The host starts from a fixed seed of its own, so a
    process that never seeds draws the same numbers on every run."""
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError("vantrel: seed: an int expected, %s found" % type(value).__name__)
    if not 0 <= value < 2**64:
        raise ValueError("vantrel: seed: 0 .. 2**64 - 1 expected, %d found" % value)
    h = host()
    with h.lock:
        h.host.kelhost_seed(int(value))


def _address(a):
    return a.__array_interface__["data"][0]


def matrix_record(a, keep):
    """A matrix record over `a` (C-ordered float64, 2-D), not a copy: its row
    pointers point into `a`.  The pointer array and `a` go into `keep`, which
    must outlive every use of the record."""
    rows, cols = a.shape
    if rows > _INT_MAX or cols > _INT_MAX:
        raise ValueError("vantrel: a %d x %d matrix is too large for the host" % (rows, cols))
    if a.dtype != np.float64 or not a.flags.c_contiguous:
        raise TypeError("vantrel: a matrix must be a C-ordered float64 array")
    rec = _Value()
    rec.type = _MATRIX
    m = rec.v.mval
    m.rows = rows
    m.cols = cols
    if rows and cols:
        base = _address(a)
        step = a.strides[0]
        if rows <= 16:
            ptrs = (ctypes.c_size_t * rows)(*range(base, base + rows * step, step))
        else:
            ptrs = np.arange(base, base + rows * step, step, dtype=np.uintp)
        keep.append(ptrs)
        keep.append(a)
        m.data = ctypes.addressof(ptrs) if rows <= 16 else _address(ptrs)
    return rec


def _host_matrix(h, rec, a):
    """Makes `rec` a host-owned copy of `a` (the library may release it)."""
    rows, cols = a.shape
    if rows == 0 or cols == 0:
        rec.type = _MATRIX
        rec.v.mval.rows = rows
        rec.v.mval.cols = cols
        rec.v.mval.data = None
        return
    if not h.host.kelhost_matrix(ctypes.addressof(rec), rows, cols):
        raise MemoryError("vantrel: no storage for a %d x %d matrix" % (rows, cols))
    _fill_host_rows(rec.v.mval, a)


def _fill_host_rows(m, a):
    ptrs = (ctypes.c_void_p * m.rows).from_address(m.data)
    for i in range(m.rows):
        ctypes.memmove(ptrs[i], a[i].ctypes.data, 8 * m.cols)


def read_record(rec):
    """The Python value of a record: an int, a float, a float64 array (a
    copy of a matrix) or None for a tag it does not know."""
    t = rec.type & 15
    if t == _INT:
        return rec.v.ival
    if t == _DOUBLE:
        return rec.v.dval
    if t == _MATRIX:
        m = rec.v.mval
        rows, cols = m.rows, m.cols
        if rows <= 0 or cols <= 0 or not m.data:
            return np.empty((max(rows, 0), max(cols, 0)))
        ptrs = (ctypes.c_size_t * rows).from_address(m.data)
        first = ptrs[0]
        stride = ptrs[1] - first if rows > 1 else 8 * cols
        if rows > 1 and (stride < 8 * cols or ptrs[rows - 1] != first + (rows - 1) * stride):
            out = np.empty((rows, cols))
            for i in range(rows):
                out[i] = np.ctypeslib.as_array((ctypes.c_double * cols).from_address(ptrs[i]))
            return out
        span = (rows - 1) * stride + 8 * cols
        view = np.ndarray(shape=(rows, cols), dtype=np.float64,
                          buffer=(ctypes.c_char * span).from_address(first),
                          strides=(stride, 8))
        return np.array(view)
    return None


class Reply:
    """What one host call gave back: the return record's value, the values
    of the reference arguments (in argument order) and the messages the
    library printed during the call."""

    __slots__ = ("value", "outs", "messages")

    def __init__(self, value, outs, messages):
        self.value = value
        self.outs = outs
        self.messages = messages


def call(name, args):
    """One host call.  `args` holds, in argument order: C-ordered float64 2-D
    arrays (matrices, not copied), records from matrix_record (their `keep`
    held by the caller), Python ints and floats, OUT (a reference
    to a fresh variable) and InOut(array) (a reference to a variable holding
    a copy of array).  Raises VantrelError for a host error."""
    h = host()
    count = len(args)
    recs = (_Value * (count + 1))()     # the last one is the return record
    targets = []
    keep = []
    with h.lock:
        try:
            for i, a in enumerate(args):
                rec = recs[i]
                if type(a) is _Value:
                    recs[i] = a
                elif isinstance(a, np.ndarray):
                    recs[i] = matrix_record(a, keep)
                elif a is OUT or isinstance(a, InOut):
                    target = _Value()
                    target.type = _INT
                    if isinstance(a, InOut):
                        _host_matrix(h, target, a.array)
                    targets.append(target)
                    rec.type = _REFERENCE
                    rec.v.ref = ctypes.addressof(target)
                elif isinstance(a, (bool, np.bool_)):
                    raise TypeError("vantrel: %s: a bool argument" % name)
                elif isinstance(a, (int, np.integer)):
                    if not -_INT_MAX - 1 <= a <= _INT_MAX:
                        raise OverflowError("vantrel: %s: %d does not fit an int" % (name, a))
                    rec.type = _INT
                    rec.v.ival = int(a)
                elif isinstance(a, (float, np.floating)):
                    rec.type = _DOUBLE
                    rec.v.dval = float(a)
                else:
                    raise TypeError("vantrel: %s: argument %d of type %s" % (
                        name, i + 1, type(a).__name__))
            ret = recs[count]
            ret.type = _INT
            del h.messages[:]
            code = h._call(h.entry(name), ctypes.addressof(ret), ctypes.addressof(recs),
                           count, h._errbuf_p, _ERRLEN)
            messages = list(h.messages)
            if code != 0:
                raise VantrelError(h._errbuf.value.decode(errors="replace").strip("\n"), code)
            value = read_record(ret)
            outs = [read_record(t) for t in targets]
        finally:
            # Only matrices hold storage of the host's.
            if recs[count].type & 15 == _MATRIX:
                h.host.kelhost_free_value(ctypes.addressof(recs[count]))
            for t in targets:
                if t.type & 15 == _MATRIX:
                    h.host.kelhost_free_value(ctypes.addressof(t))
    return Reply(value, outs, messages)


class Plan:
    """A host call prepared once and made many times: fixed arguments
    (records, ints, floats, OUT) around one data matrix that changes from
    call to call.  Model methods keep one plan per host function, so a call
    only points the data record at the new array."""

    def __init__(self, name, args, data_pos):
        self.h = h = host()
        self.count = count = len(args)
        self.recs = (_Value * (count + 1))()
        self.targets = []
        self.keep = []
        for i, a in enumerate(args):
            if i == data_pos:
                continue
            rec = self.recs[i]
            if type(a) is _Value:
                self.recs[i] = a
            elif a is OUT:
                target = _Value()
                self.targets.append(target)
                rec.type = _REFERENCE
                rec.v.ref = ctypes.addressof(target)
            elif isinstance(a, int) and not isinstance(a, bool):
                rec.type = _INT
                rec.v.ival = a
            else:
                raise TypeError("vantrel: Plan: argument %d of type %s" % (i + 1, type(a).__name__))
        self.data = self.recs[data_pos]
        self.data.type = _MATRIX
        self.mval = self.data.v.mval
        self.rows = None
        self.ret = self.recs[count]
        self.fn = ctypes.c_void_p(h.entry(name))
        self.ret_p = ctypes.c_void_p(ctypes.addressof(self.ret))
        self.recs_p = ctypes.c_void_p(ctypes.addressof(self.recs))

    def run(self, a):
        """The call with `a` (C-ordered float64, 2-D) as the data matrix."""
        rows, cols = a.shape
        if cols > _INT_MAX or a.dtype != np.float64 or not a.flags.c_contiguous:
            raise ValueError("vantrel: data of %d columns, or not C-ordered float64" % cols)
        h = self.h
        with h.lock:
            m = self.mval
            if rows != self.rows:
                self.ptrs = (ctypes.c_size_t * max(rows, 1))()
                self.rows = rows
                m.rows = rows
            m.cols = cols
            if rows and cols:
                base = a.__array_interface__["data"][0]
                ptrs = self.ptrs
                for i in range(rows):
                    ptrs[i] = base + i * 8 * cols
                m.data = ctypes.addressof(ptrs)
            else:
                m.data = None
            for t in self.targets:
                t.type = _INT
            ret = self.ret
            ret.type = _INT
            messages = h.messages
            del messages[:]
            code = h._call(self.fn, self.ret_p, self.recs_p, self.count, h._errbuf_p, _ERRLEN)
            try:
                if code != 0:
                    raise VantrelError(h._errbuf.value.decode(errors="replace").strip("\n"),
                                       code)
                value = read_record(ret)
                outs = [read_record(t) for t in self.targets]
            finally:
                if ret.type & 15 == _MATRIX:
                    h.host.kelhost_free_value(self.ret_p)
                for t in self.targets:
                    if t.type & 15 == _MATRIX:
                        h.host.kelhost_free_value(ctypes.addressof(t))
            return Reply(value, outs, list(messages))


class StrictSwitch:
    """The strict mode switch: a process-wide setting that a with block
    overrides for its own thread (and context) only, so that threads do not
    see each other's blocks.  Read as switch[0], set as switch[0] = flag
    (the process-wide setting)."""

    def __init__(self):
        self.default = False
        self._here = contextvars.ContextVar("vantrel_strict", default=None)

    def __getitem__(self, _index):
        here = self._here.get()
        return self.default if here is None else here

    def __setitem__(self, _index, flag):
        self.default = bool(flag)

    @contextlib.contextmanager
    def override(self, flag):
        token = self._here.set(bool(flag))
        try:
            yield
        finally:
            self._here.reset(token)


_quiet = contextvars.ContextVar("vantrel_quiet", default=False)


@contextlib.contextmanager
def quiet():
    """Within the block, in this thread only, the library's messages and
    numerical failures give no VantrelWarning (results are NaN as ever).
    Unlike warnings.catch_warnings, which swaps the process-wide filters,
    this leaves other threads alone."""
    token = _quiet.set(True)
    try:
        yield
    finally:
        _quiet.reset(token)


def warn_messages(messages, stacklevel=3):
    if _quiet.get():
        return
    for text in messages:
        warnings.warn(text, VantrelWarning, stacklevel=stacklevel)
