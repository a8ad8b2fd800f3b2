// Registration of the store's built-in chunk types.
#include "Store.h"

#include "Bt.h"
#include "ChLi.h"
#include "ChSt.h"
#include "Doc.h"
#include "Sl.h"

namespace quil {

void StoreRegisterTypes() {
  ChLiRegisterNodeType(kChLiNodeType);
  ChStRegisterTypes();
  SlRegisterTypes();
  BtRegisterTypes();
  DocRegisterTypes();
}

}  // namespace quil
