#include "Sort2.h"

#include "Kvutil.h"

#include <utility>

namespace {

constexpr int kInsertionRange = 7;  // ranges of at most this many pairs are finished by insertion
constexpr long kStackSize = 1000;

void swap_pairs(double *arr, double *brr, int p, int q)
{
    std::swap(arr[p], arr[q]);
    std::swap(brr[p], brr[q]);
}

} // namespace

// Quicksort without recursion: median-of-three partitioning, the longer part
// put aside while the shorter one is worked on, short ranges by insertion.
// Pairs with equal keys come out in the order these exact steps give them.
void sort2(int n, double *arr, double *brr)
{
    int l = 1;
    int ir = n;
    int jstack = 0;
    int *istack = ivector(1, kStackSize);

    for (;;) {
        if (ir - l < kInsertionRange) {
            for (int j = l + 1; j <= ir; j++) {
                const double a = arr[j];
                const double b = brr[j];
                int i = j - 1;
                for (; i >= 1; i--) {
                    if (arr[i] <= a)
                        break;
                    arr[i + 1] = arr[i];
                    brr[i + 1] = brr[i];
                }
                arr[i + 1] = a;
                brr[i + 1] = b;
            }
            if (jstack == 0) {
                free_ivector(istack, 1, kStackSize);
                return;
            }
            ir = istack[jstack];
            l = istack[jstack - 1];
            jstack -= 2;
        } else {
            const int k = (l + ir) >> 1;
            swap_pairs(arr, brr, k, l + 1);
            if (arr[l + 1] > arr[ir])
                swap_pairs(arr, brr, l + 1, ir);
            if (arr[l] > arr[ir])
                swap_pairs(arr, brr, l, ir);
            if (arr[l + 1] > arr[l])
                swap_pairs(arr, brr, l + 1, l);

            // arr[l+1] <= a <= arr[ir]: the two scans below need no bounds test.
            int i = l + 1;
            int j = ir;
            const double a = arr[l];
            const double b = brr[l];
            for (;;) {
                do
                    i++;
                while (arr[i] < a);
                do
                    j--;
                while (arr[j] > a);
                if (j < i)
                    break;
                swap_pairs(arr, brr, i, j);
            }
            arr[l] = arr[j];
            brr[l] = brr[j];
            arr[j] = a;
            brr[j] = b;

            jstack += 2;
            if (ir - i + 1 >= j - l) {
                istack[jstack] = ir;
                istack[jstack - 1] = i;
                ir = j - 1;
            } else {
                istack[jstack] = j - 1;
                istack[jstack - 1] = l;
                l = i;
            }
        }
    }
}
