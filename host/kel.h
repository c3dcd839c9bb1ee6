/*
 * kel.h - what Vantrel needs of the Kel host: the value record, the runtime
 * calls (argument checks, result allocation, errors, messages) and the matrix
 * library (storage, small dense products, decompositions, normal draws).
 *
 * The library is written against these declarations only.  It never links
 * the host: every function below is resolved from the process that loads
 * the library.
 *
 * Matrices are arrays of row pointers, each row a contiguous run of doubles;
 * their sizes travel as separate int arguments.  Int tables have the same
 * shape with int elements.
 */
#ifndef VANTREL_HOST_KEL_H
#define VANTREL_HOST_KEL_H

#ifdef __cplusplus
extern "C" {
#endif

/* Type tags of a KelVALUE.  Where the library tests a tag itself it compares
 * the low four bits (KEL_TAG_MASK). */
enum {
    KEL_INT = 1,
    KEL_DOUBLE = 2,
    KEL_MATRIX = 3,
    KEL_REFERENCE = 5,
    KEL_TAG_MASK = 15
};

typedef struct KelMATRIX {
    int rows;
    int cols;
    double **data;
} KelMATRIX;

/* The host's value record.  The layout (an int tag, then one union slot) is
 * fixed: programs in other languages build these records directly. */
typedef struct KelVALUE {
    int type;
    union {
        int ival;
        double dval;
        KelMATRIX mval;
        struct KelVALUE *ref;
    } v;
} KelVALUE;

/* Every host function has this form: return record, argument array in call
 * order (index 0 first), argument count. */
typedef void (*KelHostFunction)(KelVALUE *rtn, KelVALUE *args, int count);

/* Host error code for a failed allocation. */
#define KEL_ERROR_MEMORY 4

/* ---- runtime ---------------------------------------------------------- */

/* Arguments first..last (0-based, inclusive) must carry tag `type`; a matrix
 * check accepts an int or double and turns it into a 1 x 1 matrix in place.
 * On mismatch the host raises its own error and the call ends. */
void KelLibCheckType(int type, KelVALUE *args, int first, int last);

/* Matrix arguments first..last must be exactly rows x cols, else host error
 * (numbers are first turned into 1 x 1 matrices). */
void KelLibCheckMatrixSize(KelVALUE *args, int first, int last, int rows, int cols);

/* Makes `rec` a rows x cols matrix (releasing what it held).  The caller
 * reads rec->v.mval.data afterwards; null there means failure. */
double **KelLibValMatMalloc(KelVALUE *rec, int rows, int cols);

/* Releases what the record holds; the record becomes the int 0. */
void KelFreeByValue(KelVALUE *rec);

/* Raise a host error; control does not return to the caller. */
void KelRunError(int code, const char *text);
void KelRunErrorMessage(const char *text);

/* Print a warning and return. */
void KelRunMessage(const char *text);

/* ---- matrix library --------------------------------------------------- */

/* New rows x cols matrix or null.  With cols == 0: an array of `rows`
 * writable row pointers, which the caller points into another matrix. */
double **MatAllocBlock(int rows, int cols);
void MatFreeBlock(double **m);

void MatZero(double **m, int rows, int cols);
void MatI(double **m, int n);

/* result = A + factor * B over rows x cols.  result may be A or B. */
double **MatAdd(double **A, int rows, int cols, double **B, double factor, double **result);

/* result (rA x cB) = A (rA x cA) * B (cA x cB).  result must not alias. */
double **MatAB(double **A, int rA, int cA, double **B, int cB, double **result);

/* result (rB x rB) = B (rB x cB) * S * B', S the leading cB x cB block of
 * its matrix, read as symmetric.  result must not alias B or S. */
double **MatBSBt(double **B, int rB, double **S, int cB, double **result);

/* result (cB x cB) = B' * S * B, B rB x cB, S the leading rB x rB block,
 * read as symmetric.  result must not alias B or S. */
double **MatBtSB(double **B, int rB, double **S, int cB, double **result);

/* Inverts the n x n matrix A in place.  *logdet = log|det A|; *nonsingular
 * = 1, or 0 when A is singular.  Result 0 on success, non-zero on failure. */
int IInvDet(double **A, int n, double *logdet, int *nonsingular);

/* LDL' decomposition of the symmetric positive definite n x n matrix A in
 * place: on return the strictly lower triangle of A holds the unit lower
 * triangular L and d[0..n-1] the reciprocals of the pivots, so that
 * A = L diag(1/d) L'.  Result 0 on success, non-zero when A is not positive
 * definite.  The upper triangle is left unspecified. */
int ILDLdec(double **A, double *d, int n);

/* Numerical rank of the rows x cols matrix A (not changed): the number of
 * singular values above tol times the largest.  `flag` is reserved (0). */
int IMatRank(double **A, int rows, int cols, int flag, double tol);

double DRanNormalPM(void);
void MatRann(double **m, int rows, int cols);

/* New rows x cols table of elements of `size` bytes (always 4 here), or
 * null; freed with the sizes it was made with. */
void **TabAllocPlain(int rows, int cols, int size);
void TabFreePlain(void **table, int rows, int cols);

#ifdef __cplusplus
}
#endif

#endif
