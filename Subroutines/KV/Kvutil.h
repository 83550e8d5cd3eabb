// Offset-indexed arrays and the fatal error exit of the numerical code.
//
// Every allocator returns storage addressed with the bounds it was given:
// dvector(lo, hi) gives v[lo..hi], dmatrix(rlo, rhi, clo, chi) gives
// m[rlo..rhi][clo..chi] with the rows one after another in one block.
// Elements are not initialised. Each allocator has a release twin, named
// with free_ in front, that takes the same bounds again.
#ifndef KVUTIL_H
#define KVUTIL_H

// Writes a three-line report to the standard error stream and ends the
// process with status 1.
[[noreturn]] void kverror(const char *text);

float *vector(long lo, long hi);
double *dvector(long lo, long hi);
int *ivector(long lo, long hi);
unsigned char *cvector(long lo, long hi);
unsigned long *lvector(long lo, long hi);

void free_vector(float *v, long lo, long hi);
void free_dvector(double *v, long lo, long hi);
void free_ivector(int *v, long lo, long hi);
void free_cvector(unsigned char *v, long lo, long hi);
void free_lvector(unsigned long *v, long lo, long hi);

float **matrix(long rlo, long rhi, long clo, long chi);
double **dmatrix(long rlo, long rhi, long clo, long chi);
int **imatrix(long rlo, long rhi, long clo, long chi);
char **cmatrix(long rlo, long rhi, long clo, long chi);

void free_matrix(float **m, long rlo, long rhi, long clo, long chi);
void free_dmatrix(double **m, long rlo, long rhi, long clo, long chi);
void free_imatrix(int **m, long rlo, long rhi, long clo, long chi);

// Views: only a row-pointer array is made; the elements belong to the source.
float **submatrix(float **src, long srlo, long srhi, long sclo, long schi, long rlo, long clo);
float **convert_matrix(float *src, long rlo, long rhi, long clo, long chi);
void free_submatrix(float **m, long rlo, long rhi, long clo, long chi);
void free_convert_matrix(float **m, long rlo, long rhi, long clo, long chi);

float ***f3tensor(long rlo, long rhi, long clo, long chi, long dlo, long dhi);
double ***Array3(long rlo, long rhi, long clo, long chi, long dlo, long dhi);
void free_f3tensor(float ***t, long rlo, long rhi, long clo, long chi, long dlo, long dhi);
void free_Array3(double ***t, long rlo, long rhi, long clo, long chi, long dlo, long dhi);

#endif
