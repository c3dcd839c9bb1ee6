// runtime.cpp - the stand-in Kel runtime: value records, argument checks,
// result allocation, run-time errors, messages and the call boundary.
//
// A run-time error unwinds to kelhost_call as a C++ exception; the library
// keeps no state of its own across that unwinding, and the host frees the
// tracked storage the library obtained during the call.
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "kelhost/kelhost.h"
#include "kelhost/storage.h"

namespace {

struct HostError {
    int code;
    std::string text;
};

// An argument record that a check turned from a number into a 1 x 1 matrix
// (or from an int into a double); restored when the call ends.
struct Conversion {
    KelVALUE *rec;
    KelVALUE original;
};

std::vector<Conversion> g_conversions;
int g_callDepth = 0;

kelhost_sink g_sink = nullptr;
void *g_sinkContext = nullptr;

const char *tagName(int tag) {
    switch (tag & KEL_TAG_MASK) {
    case KEL_INT: return "int";
    case KEL_DOUBLE: return "double";
    case KEL_MATRIX: return "matrix";
    case KEL_REFERENCE: return "reference";
    default: return "unknown";
    }
}

[[noreturn]] void raise(int code, const std::string &text) { throw HostError{code, text}; }

void remember(KelVALUE *rec) {
    if (g_callDepth > 0) g_conversions.push_back({rec, *rec});
}

// Turns a number record into a 1 x 1 matrix holding its value.
bool toMatrix(KelVALUE *rec) {
    double value;
    if (rec->type == KEL_INT) value = rec->v.ival;
    else if (rec->type == KEL_DOUBLE) value = rec->v.dval;
    else return rec->type == KEL_MATRIX;
    void **rows = kelhost::allocBlock(1, 1, sizeof(double), kelhost::BlockKind::Record);
    if (!rows) raise(KEL_ERROR_MEMORY, "out of memory");
    remember(rec);
    rec->type = KEL_MATRIX;
    rec->v.mval.rows = 1;
    rec->v.mval.cols = 1;
    rec->v.mval.data = reinterpret_cast<double **>(rows);
    rec->v.mval.data[0][0] = value;
    return true;
}

void restoreConversions() {
    for (auto it = g_conversions.rbegin(); it != g_conversions.rend(); ++it) {
        if (it->rec->type == KEL_MATRIX)
            kelhost::freeBlock(reinterpret_cast<void **>(it->rec->v.mval.data));
        *it->rec = it->original;
    }
    g_conversions.clear();
}

bool g_checkArguments = true;

// Argument arrays a Kel program cannot build: a reference without a
// target, or one whose target is itself a reference, one of the call's own
// argument records or the return record.  Host functions write through
// references into their targets, so such a target would free or overwrite
// records the function still reads.  Returns the text of the refusal, or
// an empty string.
std::string badReference(const KelVALUE *rtn, const KelVALUE *args, int count) {
    char buf[160];
    for (int i = 0; i < count; ++i) {
        if ((args[i].type & KEL_TAG_MASK) != KEL_REFERENCE) continue;
        const KelVALUE *target = args[i].v.ref;
        const char *what = nullptr;
        if (!target)
            what = "refers to nothing";
        else if ((target->type & KEL_TAG_MASK) == KEL_REFERENCE)
            what = "refers to a reference";
        else if (target == rtn)
            what = "refers to the return record";
        else if (std::less_equal<const KelVALUE *>()(args, target) &&
                 std::less<const KelVALUE *>()(target, args + count))
            what = "refers to an argument of the same call";
        if (what) {
            std::snprintf(buf, sizeof buf, "kelhost_call: argument %d %s", i + 1, what);
            return buf;
        }
    }
    return std::string();
}

void copyText(char *buf, std::size_t len, const std::string &text) {
    if (!buf || len == 0) return;
    std::size_t n = text.size() < len - 1 ? text.size() : len - 1;
    std::memcpy(buf, text.data(), n);
    buf[n] = '\0';
}

}  // namespace

extern "C" {

void KelLibCheckType(int type, KelVALUE *args, int first, int last) {
    char buf[160];
    for (int i = first; i <= last; ++i) {
        KelVALUE *a = &args[i];
        int tag = a->type & KEL_TAG_MASK;
        bool ok;
        if (type == KEL_MATRIX) {
            ok = toMatrix(a);
        } else if (type == KEL_DOUBLE && tag == KEL_INT) {
            remember(a);
            double v = a->v.ival;
            a->type = KEL_DOUBLE;
            a->v.dval = v;
            ok = true;
        } else {
            ok = tag == (type & KEL_TAG_MASK);
        }
        if (!ok) {
            std::snprintf(buf, sizeof buf, "argument %d: %s expected, %s found", i + 1,
                          tagName(type), tagName(a->type));
            raise(KELHOST_ERR_TYPE, buf);
        }
    }
}

void KelLibCheckMatrixSize(KelVALUE *args, int first, int last, int rows, int cols) {
    KelLibCheckType(KEL_MATRIX, args, first, last);
    char buf[160];
    for (int i = first; i <= last; ++i) {
        const KelMATRIX &m = args[i].v.mval;
        if (m.rows != rows || m.cols != cols) {
            std::snprintf(buf, sizeof buf,
                          "argument %d: %d x %d matrix expected, %d x %d found", i + 1, rows,
                          cols, m.rows, m.cols);
            raise(KELHOST_ERR_SIZE, buf);
        }
    }
}

void KelFreeByValue(KelVALUE *rec) {
    if (!rec) return;
    if (rec->type == KEL_MATRIX)
        kelhost::freeBlock(reinterpret_cast<void **>(rec->v.mval.data));
    rec->type = KEL_INT;
    rec->v.ival = 0;
}

double **KelLibValMatMalloc(KelVALUE *rec, int rows, int cols) {
    KelFreeByValue(rec);
    void **block = nullptr;
    if (!kelhost::injectFailure())
        block = kelhost::allocBlock(rows, cols, sizeof(double), kelhost::BlockKind::Record);
    rec->type = KEL_MATRIX;
    rec->v.mval.rows = block ? rows : 0;
    rec->v.mval.cols = block ? cols : 0;
    rec->v.mval.data = reinterpret_cast<double **>(block);
    return rec->v.mval.data;
}

void KelRunError(int code, const char *text) {
    raise(code, text ? text : (code == KEL_ERROR_MEMORY ? "out of memory" : "run-time error"));
}

void KelRunErrorMessage(const char *text) { raise(KELHOST_ERR_RUNTIME, text ? text : ""); }

void KelRunMessage(const char *text) {
    if (!text) text = "";
    if (g_sink) {
        g_sink(text, g_sinkContext);
    } else {
        std::fputs(text, stderr);
        std::fputc('\n', stderr);
    }
}

void kelhost_set_message_sink(kelhost_sink sink, void *context) {
    g_sink = sink;
    g_sinkContext = context;
}

int kelhost_call(KelHostFunction fn, KelVALUE *rtn, KelVALUE *args, int count, char *errbuf,
                 std::size_t errlen) {
    copyText(errbuf, errlen, "");
    if (!fn || !rtn || count < 0 || (count > 0 && !args) || g_callDepth > 0) {
        copyText(errbuf, errlen, "kelhost_call: bad arguments");
        return KELHOST_ERR_ARGS;
    }
    if (g_checkArguments) {
        std::string bad = badReference(rtn, args, count);
        if (!bad.empty()) {
            copyText(errbuf, errlen, bad);
            return KELHOST_ERR_ARGS;
        }
    }
    unsigned long long mark = kelhost::trackedMark();
    int code = KELHOST_OK;
    ++g_callDepth;
    try {
        fn(rtn, args, count);
    } catch (const HostError &e) {
        code = e.code ? e.code : KELHOST_ERR_RUNTIME;
        copyText(errbuf, errlen, e.text);
        kelhost::freeTrackedSince(mark);
    }
    --g_callDepth;
    restoreConversions();
    return code;
}

void kelhost_check_references(int on) { g_checkArguments = on != 0; }

void kelhost_int(KelVALUE *rec, int value) {
    rec->type = KEL_INT;
    rec->v.ival = value;
}

void kelhost_double(KelVALUE *rec, double value) {
    rec->type = KEL_DOUBLE;
    rec->v.dval = value;
}

void kelhost_ref(KelVALUE *rec, KelVALUE *target) {
    rec->type = KEL_REFERENCE;
    rec->v.ref = target;
}

double **kelhost_matrix(KelVALUE *rec, int rows, int cols) {
    void **block = kelhost::allocBlock(rows, cols, sizeof(double), kelhost::BlockKind::Record);
    if (!block) return nullptr;
    rec->type = KEL_MATRIX;
    rec->v.mval.rows = rows;
    rec->v.mval.cols = cols;
    rec->v.mval.data = reinterpret_cast<double **>(block);
    return rec->v.mval.data;
}

void kelhost_free_value(KelVALUE *rec) { KelFreeByValue(rec); }

}  // extern "C"
