// quil: the Quillmoot server.
#include <cstdio>

#include "Ex.h"
#include "Ma.h"

int main(int, char**) {
  quil::ExInitRtns(quil::kPkgInit, quil::kPkgVersion);
  quil::ExInitRtns(quil::kPkgTerm, 0);
  return 0;
}
