// Minimisers: bracketing and Brent's method in one variable, line
// minimisation, Powell's direction-set method and the Polak-Ribiere
// conjugate-gradient method.
//
// Vectors are offset-indexed and addressed from 1 (x[1..n]); the direction
// matrix of Powell is xi[1..n][1..n] with one direction per column. An
// objective takes x[1..n] and returns its value; its length is not passed.
//
// None of these routines is reentrant: the line minimisation keeps the line
// being searched in the module variables below, so an objective must never
// start a line minimisation itself. An iteration limit ends the process
// through kverror.
#ifndef OPTIMISE_H
#define OPTIMISE_H

// The line being searched by linmin, read by f1dim. Set up and torn down by
// every call of linmin; pcom and xicom are null outside one.
extern int ncom;
extern double *pcom;
extern double *xicom;
extern double (*kvfunc)(double *);

// From the abscissae *ax and *bx, walks downhill until *ax, *bx, *cx bracket
// a minimum of func (bx between the others, f(bx) no higher than either end);
// *fa, *fb, *fc receive the values there.
void mnbrak(double *ax, double *bx, double *cx, double *fa, double *fb, double *fc,
            double (*func)(double));

// Minimum of f inside the bracket (ax, bx, cx) to the fractional tolerance
// tol on the abscissa: returns the value and stores the abscissa in *xmin.
double brent(double ax, double bx, double cx, double (*f)(double), double tol, double *xmin);

// The objective restricted to the line of the running line minimisation:
// kvfunc at pcom + x * xicom.
double f1dim(double x);

// Minimises func from p along xi: p moves to the minimum found, xi becomes
// the displacement taken, *fret the value there.
void linmin(double *p, double *xi, int n, double *fret, double (*func)(double *));

// Powell's direction-set minimisation of func from p with the directions in
// the columns of xi, to the fractional tolerance ftol on the value. Returns
// the minimum in p, its value in *fret, the final set in xi and the number of
// iterations in *iter.
void Powell(double *p, double **xi, int n, double ftol, int *iter, double *fret,
            double (*func)(double *));

// Conjugate-gradient minimisation of func from p; dfunc(x, g) writes the
// gradient at x into g[1..n]. Results as for Powell.
void Frprmn(double *p, int n, double ftol, int *iter, double *fret, double (*func)(double *),
            void (*dfunc)(double *, double *));

#endif
