// ChBt: the name-directory tree.
#include "Bt.h"
#include "Ut.h"

namespace quil {

// Root (type 30): callback, top node, a word.  Inner node (type 31): link,
// separator key, left, right.
void ChBtRegisterTypes() {
  UtRegisterBuiltin(30, UtLayout().Op(kUtHandle).Op(kUtHandle).Op(kUtInt32).Done());
  UtRegisterBuiltin(31, UtLayout().Times(4, kUtHandle).Done());
}

}  // namespace quil
