// The rating model's objective exactly as first written, before any work on
// its speed: the yardstick that every faster form must match bit for bit.
// It works on the same model state (Model.h) as the program's Eqn.
#ifndef REFERENCEMODEL_H
#define REFERENCEMODEL_H

double reference_P0(double h, int II);
void reference_Transfer(const double *x);
void reference_Continuity();
double reference_Eqn(double *x);

#endif
