// Registration of the store's built-in chunk types.
#include "Store.h"

#include "ChLi.h"
#include "ChSt.h"

namespace quil {

void StoreRegisterTypes() {
  ChLiRegisterNodeType(kChLiNodeType);
  ChStRegisterTypes();
}

}  // namespace quil
