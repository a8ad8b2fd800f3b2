// Lists: the debug flag and the statistics shared by every list type.
#include "Li.h"

namespace quil {

bool LiDebugFlag = true;
ListStatsStruct ListStats;

}  // namespace quil
