// Diagnostic printers on the host console, for debugging a plug-in.
#include "host.h"

namespace zarvo::host {

void print_array(const double* values, int count, const char* label) {
  mexPrintf("%s ", label);
  for (int i = 0; i < count; ++i) mexPrintf("%.4f ", values[i]);
  mexPrintf("\n");
}

void debug(const char* message) { mexPrintf("%s \n", message); }

}  // namespace zarvo::host
