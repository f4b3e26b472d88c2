// The Gaussian stages' group transforms on the workspace's blocks: gather
// and transform (the noisy volume and, in the Wiener stage, the pilot),
// invert in place, and the adaptive noise level of a spectrum.
#pragma once

#include "stage.h"

namespace zarvo::stages {

// Gathers the L cubes at w.positions from `volume` (and, when `pilot` is not
// null, the same cubes of the pilot) and transforms them into
// w.group_spectrum (and w.group_spectrum_hat) at the group offset.
void gather_forward(const Layout& g, const Transforms& t, const double* volume, const double* pilot,
                    int L, Workspace& w);

// Inverts w.group_spectrum at the group offset, in place (w.group_buf is
// scratch); returns where the filtered cubes are.
double* inverse_spectrum(const Layout& g, const Transforms& t, int L, Workspace& w);

// The group's noise level from its spectrum (adaptive mode): every
// coefficient of non-zero group frequency, or the whole cube when L is 1.
// `scratch` holds the group's coefficients.
double spectrum_noise(const Layout& g, int L, const double* spectrum, double* scratch);

}  // namespace zarvo::stages
