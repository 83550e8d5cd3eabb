// Offset-indexed arrays, kverror and the paired sort.
#include "Kvutil.h"
#include "Sort2.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace {

template <typename T>
std::ptrdiff_t distance(const T *a, const T *b)
{
    return b - a;
}

} // namespace

TEST(OffsetArrays, VectorsAddressTheirBounds)
{
    // Every element from the spare slot v[lo - 1] to v[hi] lies in the block
    // (the sanitizer build catches a write outside it), and each keeps its
    // own value.
    double *v = dvector(1, 5);
    for (long i = 0; i <= 5; i++)
        v[i] = static_cast<double>(i);
    for (long i = 0; i <= 5; i++)
        EXPECT_EQ(v[i], static_cast<double>(i));
    free_dvector(v, 1, 5);

    double *w = dvector(0, 3);
    for (long i = 0; i <= 3; i++)
        w[i] = 10.0 * i;
    EXPECT_EQ(w[0] + w[3], 30.0);
    free_dvector(w, 0, 3);

    int *iv = ivector(-2, 2);
    for (long i = -2; i <= 2; i++)
        iv[i] = static_cast<int>(i);
    EXPECT_EQ(iv[-2] + iv[2], 0);
    free_ivector(iv, -2, 2);

    float *fv = vector(1, 1);
    fv[1] = 1.5f;
    EXPECT_EQ(fv[1], 1.5f);
    free_vector(fv, 1, 1);

    unsigned char *cv = cvector(1, 3);
    cv[3] = 200;
    EXPECT_EQ(cv[3], 200);
    free_cvector(cv, 1, 3);

    unsigned long *lv = lvector(1, 2);
    lv[2] = 7ul;
    EXPECT_EQ(lv[2], 7ul);
    free_lvector(lv, 1, 2);

    double *empty = dvector(1, 0);
    free_dvector(empty, 1, 0);
}

TEST(OffsetArrays, MatrixRowsAreContiguous)
{
    // The shape of the coefficient matrix for J = 2 and M = 2.
    double **m = dmatrix(1, 3, 0, 2);
    for (long i = 1; i <= 3; i++)
        for (long j = 0; j <= 2; j++)
            m[i][j] = 10.0 * i + j;
    EXPECT_EQ(&m[1][2] + 1, &m[2][0]);
    EXPECT_EQ(distance(&m[1][0], &m[3][2]), 8);
    EXPECT_EQ(m[2][1], 21.0);
    free_dmatrix(m, 1, 3, 0, 2);

    int **im = imatrix(1, 2, 1, 2);
    im[2][2] = 4;
    EXPECT_EQ(&im[1][2] + 1, &im[2][1]);
    free_imatrix(im, 1, 2, 1, 2);

    float **fm = matrix(0, 1, 0, 1);
    fm[1][1] = 2.0f;
    EXPECT_EQ(&fm[0][1] + 1, &fm[1][0]);
    free_matrix(fm, 0, 1, 0, 1);
}

TEST(OffsetArrays, ViewsShareTheSourceElements)
{
    float **src = matrix(1, 3, 1, 3);
    for (long i = 1; i <= 3; i++)
        for (long j = 1; j <= 3; j++)
            src[i][j] = static_cast<float>(10 * i + j);
    float **sub = submatrix(src, 2, 3, 2, 3, 1, 1);
    EXPECT_EQ(sub[1][1], 22.0f);
    EXPECT_EQ(sub[2][2], 33.0f);
    sub[1][2] = -1.0f;
    EXPECT_EQ(src[2][3], -1.0f);
    free_submatrix(sub, 1, 2, 1, 2);
    free_matrix(src, 1, 3, 1, 3);

    float plain[6] = {0, 1, 2, 3, 4, 5};
    float **cm = convert_matrix(plain, 1, 2, 1, 3);
    EXPECT_EQ(cm[1][1], 0.0f);
    EXPECT_EQ(cm[1][3], 2.0f);
    EXPECT_EQ(cm[2][1], 3.0f);
    free_convert_matrix(cm, 1, 2, 1, 3);
}

TEST(OffsetArrays, ThreeDimensionalArraysAreOneRowMajorBlock)
{
    float ***t = f3tensor(1, 2, 1, 2, 1, 2);
    EXPECT_EQ(distance(&t[1][1][1], &t[2][1][1]), 4);
    EXPECT_EQ(distance(&t[1][1][1], &t[2][2][2]), 7);
    t[2][2][2] = 8.0f;
    EXPECT_EQ(*(&t[1][1][1] + 7), 8.0f);
    free_f3tensor(t, 1, 2, 1, 2, 1, 2);

    double ***d = Array3(0, 2, 1, 3, 0, 1);
    for (long i = 0; i <= 2; i++)
        for (long j = 1; j <= 3; j++)
            for (long k = 0; k <= 1; k++)
                d[i][j][k] = 100.0 * i + 10.0 * j + k;
    const double *first = &d[0][1][0];
    EXPECT_EQ(first[((2 * 3) + 2) * 2 + 1], d[2][3][1]);
    free_Array3(d, 0, 2, 1, 3, 0, 1);
}

TEST(OffsetArraysDeathTest, KverrorWritesThreeLinesAndExitsWithOne)
{
    EXPECT_EXIT(kverror("Too many iterations in brent"), ::testing::ExitedWithCode(1),
                "^Kelvarin run-time error\\.\\.\\.\nToo many iterations in brent\n"
                "\\.\\.\\.now exiting to system\\.\\.\\.\n$");
    EXPECT_EXIT(dvector(5, 2), ::testing::ExitedWithCode(1), "bad bounds in dvector");
}

TEST(Sort2, SmallInputsAreSortedByInsertion)
{
    double a0[1] = {0};
    sort2(0, a0, a0);

    double arr[4] = {0, 3, 1, 2};
    double brr[4] = {0, 30, 10, 20};
    sort2(3, arr, brr);
    EXPECT_EQ(std::vector<double>(arr + 1, arr + 4), (std::vector<double>{1, 2, 3}));
    EXPECT_EQ(std::vector<double>(brr + 1, brr + 4), (std::vector<double>{10, 20, 30}));

    // Up to seven pairs: straight insertion keeps equal keys in their order.
    double k[8] = {0, 2, 1, 2, 1, 2, 1, 2};
    double c[8] = {0, 1, 2, 3, 4, 5, 6, 7};
    sort2(7, k, c);
    EXPECT_EQ(std::vector<double>(c + 1, c + 8), (std::vector<double>{2, 4, 6, 1, 3, 5, 7}));
}

TEST(Sort2, EqualKeysAboveSevenComeOutInTheFixedOrder)
{
    double arr[9] = {0, 2, 1, 2, 1, 2, 1, 2, 1};
    double brr[9] = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    sort2(8, arr, brr);
    EXPECT_EQ(std::vector<double>(arr + 1, arr + 9), (std::vector<double>{1, 1, 1, 1, 2, 2, 2, 2}));
    EXPECT_EQ(std::vector<double>(brr + 1, brr + 9), (std::vector<double>{6, 4, 8, 2, 5, 3, 7, 1}));
}

TEST(Sort2, LargeInputsKeepEveryPartnerBesideItsKey)
{
    std::mt19937 gen(12345);
    std::uniform_int_distribution<int> pick(0, 40);
    for (const int n : {8, 9, 50, 1000, 5000}) {
        for (int shape = 0; shape < 4; shape++) {
            std::vector<double> arr(n + 1), brr(n + 1);
            for (int i = 1; i <= n; i++) {
                switch (shape) {
                case 0: arr[i] = i; break;                 // ascending
                case 1: arr[i] = n - i; break;             // descending
                case 2: arr[i] = pick(gen) % 3; break;     // many equal keys
                default: arr[i] = pick(gen) * 0.25; break; // random with ties
                }
                // The partner encodes its key and its original place.
                brr[i] = arr[i] * 100000.0 + i;
            }
            sort2(n, arr.data(), brr.data());
            std::vector<bool> seen(n + 1, false);
            for (int i = 1; i <= n; i++) {
                if (i > 1) {
                    ASSERT_LE(arr[i - 1], arr[i]) << "n " << n << " shape " << shape;
                }
                const double place = brr[i] - arr[i] * 100000.0;
                ASSERT_GE(place, 1);
                ASSERT_LE(place, n);
                ASSERT_FALSE(seen[static_cast<int>(place)]);
                seen[static_cast<int>(place)] = true;
            }
        }
    }
}

TEST(Sort2, NotANumberKeysStayInsideTheArrays)
{
    // The keys sit inside a larger buffer; nothing outside 1..n may change.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::mt19937 gen(99);
    for (int trial = 0; trial < 200; trial++) {
        const int n = 8 + trial % 40;
        std::vector<double> arr(n + 3, -7.0), brr(n + 3, -7.0);
        for (int i = 1; i <= n; i++) {
            arr[i + 1] = (gen() % 4 == 0) ? nan : static_cast<double>(gen() % 10);
            brr[i + 1] = i;
        }
        sort2(n, arr.data() + 1, brr.data() + 1);
        EXPECT_EQ(arr[0], -7.0);
        EXPECT_EQ(arr[1], -7.0);
        EXPECT_EQ(arr[n + 2], -7.0);
        EXPECT_EQ(brr[1], -7.0);
        EXPECT_EQ(brr[n + 2], -7.0);
        double sum = 0;
        for (int i = 1; i <= n; i++)
            sum += brr[i + 1];
        EXPECT_EQ(sum, n * (n + 1) / 2.0);
    }
}
