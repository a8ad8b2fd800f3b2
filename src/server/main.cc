// quil: the Quillmoot server.
#include "Ql.h"

int main(int argc, char** argv) { return quil::QlMain(argc, argv); }
