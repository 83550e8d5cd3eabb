#include "Kvutil.h"

#include <cstdio>
#include <cstdlib>

void kverror(const char *text)
{
    std::fprintf(stderr, "Kelvarin run-time error...\n");
    std::fprintf(stderr, "%s\n", text);
    std::fprintf(stderr, "...now exiting to system...\n");
    std::exit(1);
}

namespace {

// Number of elements from lo to hi, refusing bounds that describe less than
// an empty range.
long extent(long lo, long hi, const char *who)
{
    if (hi < lo - 1) {
        char text[80];
        std::snprintf(text, sizeof text, "bad bounds in %s()", who);
        kverror(text);
    }
    return hi - lo + 1;
}

template <typename T>
T *take(long count, const char *who)
{
    // One spare element in front of every block, so that the offset pointer
    // for a lower bound of 1 or 0 stays within the block.
    T *block = static_cast<T *>(std::malloc(static_cast<std::size_t>(count + 1) * sizeof(T)));
    if (block == nullptr) {
        char text[80];
        std::snprintf(text, sizeof text, "allocation failure in %s()", who);
        kverror(text);
    }
    return block;
}

template <typename T>
T *make_vector(long lo, long hi, const char *who)
{
    return take<T>(extent(lo, hi, who), who) - (lo - 1);
}

template <typename T>
void release_vector(T *v, long lo)
{
    std::free(v + (lo - 1));
}

template <typename T>
T **make_matrix(long rlo, long rhi, long clo, long chi, const char *who)
{
    const long rows = extent(rlo, rhi, who);
    const long cols = extent(clo, chi, who);
    T **m = take<T *>(rows, who) - (rlo - 1);
    T *data = take<T>(rows * cols, who);
    if (rows == 0) {
        std::free(data);
        return m;
    }
    m[rlo] = data + 1 - clo;
    for (long i = rlo + 1; i <= rhi; i++)
        m[i] = m[i - 1] + cols;
    return m;
}

template <typename T>
void release_matrix(T **m, long rlo, long rhi, long clo)
{
    if (rhi >= rlo)
        std::free(m[rlo] + (clo - 1));
    std::free(m + (rlo - 1));
}

template <typename T>
T ***make_array3(long rlo, long rhi, long clo, long chi, long dlo, long dhi, const char *who)
{
    const long rows = extent(rlo, rhi, who);
    const long cols = extent(clo, chi, who);
    const long deps = extent(dlo, dhi, who);
    if (rows == 0 || cols == 0) {
        char text[80];
        std::snprintf(text, sizeof text, "bad bounds in %s()", who);
        kverror(text);
    }
    T ***t = take<T **>(rows, who) - (rlo - 1);
    t[rlo] = take<T *>(rows * cols, who) + 1 - clo;
    t[rlo][clo] = take<T>(rows * cols * deps, who) + 1 - dlo;
    for (long j = clo + 1; j <= chi; j++)
        t[rlo][j] = t[rlo][j - 1] + deps;
    for (long i = rlo + 1; i <= rhi; i++) {
        t[i] = t[i - 1] + cols;
        t[i][clo] = t[i - 1][clo] + cols * deps;
        for (long j = clo + 1; j <= chi; j++)
            t[i][j] = t[i][j - 1] + deps;
    }
    return t;
}

template <typename T>
void release_array3(T ***t, long rlo, long clo, long dlo)
{
    std::free(t[rlo][clo] + (dlo - 1));
    std::free(t[rlo] + (clo - 1));
    std::free(t + (rlo - 1));
}

} // namespace

float *vector(long lo, long hi) { return make_vector<float>(lo, hi, "vector"); }
double *dvector(long lo, long hi) { return make_vector<double>(lo, hi, "dvector"); }
int *ivector(long lo, long hi) { return make_vector<int>(lo, hi, "ivector"); }
unsigned char *cvector(long lo, long hi) { return make_vector<unsigned char>(lo, hi, "cvector"); }
unsigned long *lvector(long lo, long hi) { return make_vector<unsigned long>(lo, hi, "lvector"); }

void free_vector(float *v, long lo, long) { release_vector(v, lo); }
void free_dvector(double *v, long lo, long) { release_vector(v, lo); }
void free_ivector(int *v, long lo, long) { release_vector(v, lo); }
void free_cvector(unsigned char *v, long lo, long) { release_vector(v, lo); }
void free_lvector(unsigned long *v, long lo, long) { release_vector(v, lo); }

float **matrix(long rlo, long rhi, long clo, long chi)
{
    return make_matrix<float>(rlo, rhi, clo, chi, "matrix");
}

double **dmatrix(long rlo, long rhi, long clo, long chi)
{
    return make_matrix<double>(rlo, rhi, clo, chi, "dmatrix");
}

int **imatrix(long rlo, long rhi, long clo, long chi)
{
    return make_matrix<int>(rlo, rhi, clo, chi, "imatrix");
}

char **cmatrix(long rlo, long rhi, long clo, long chi)
{
    return make_matrix<char>(rlo, rhi, clo, chi, "cmatrix");
}

void free_matrix(float **m, long rlo, long rhi, long clo, long) { release_matrix(m, rlo, rhi, clo); }
void free_dmatrix(double **m, long rlo, long rhi, long clo, long) { release_matrix(m, rlo, rhi, clo); }
void free_imatrix(int **m, long rlo, long rhi, long clo, long) { release_matrix(m, rlo, rhi, clo); }

float **submatrix(float **src, long srlo, long srhi, long sclo, long, long rlo, long clo)
{
    const long rows = extent(srlo, srhi, "submatrix");
    float **m = take<float *>(rows, "submatrix") - (rlo - 1);
    for (long k = 0; k < rows; k++)
        m[rlo + k] = src[srlo + k] + (sclo - clo);
    return m;
}

float **convert_matrix(float *src, long rlo, long rhi, long clo, long chi)
{
    const long rows = extent(rlo, rhi, "convert_matrix");
    const long cols = extent(clo, chi, "convert_matrix");
    float **m = take<float *>(rows, "convert_matrix") - (rlo - 1);
    if (rows == 0)
        return m;
    m[rlo] = src - clo;
    for (long i = rlo + 1; i <= rhi; i++)
        m[i] = m[i - 1] + cols;
    return m;
}

void free_submatrix(float **m, long rlo, long, long, long) { std::free(m + (rlo - 1)); }
void free_convert_matrix(float **m, long rlo, long, long, long) { std::free(m + (rlo - 1)); }

float ***f3tensor(long rlo, long rhi, long clo, long chi, long dlo, long dhi)
{
    return make_array3<float>(rlo, rhi, clo, chi, dlo, dhi, "f3tensor");
}

double ***Array3(long rlo, long rhi, long clo, long chi, long dlo, long dhi)
{
    return make_array3<double>(rlo, rhi, clo, chi, dlo, dhi, "Array3");
}

void free_f3tensor(float ***t, long rlo, long, long clo, long, long dlo, long)
{
    release_array3(t, rlo, clo, dlo);
}

void free_Array3(double ***t, long rlo, long, long clo, long, long dlo, long)
{
    release_array3(t, rlo, clo, dlo);
}
