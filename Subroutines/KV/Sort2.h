// Paired sort: orders arr[1..n] ascending and moves brr[1..n] with it.
#ifndef SORT2_H
#define SORT2_H

void sort2(int n, double *arr, double *brr);

#endif
