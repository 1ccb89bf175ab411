// The module's lock count: live library objects plus IClassFactory::LockServer locks.
#include "src/com/object.h"

namespace vtfc4 {

std::atomic<LONG>& ModuleLockCount() {
  // Function-local so that objects made during static initialisation find it constructed;
  // the atomic is trivially destructible, so objects released at exit may still use it.
  static std::atomic<LONG> count{0};
  return count;
}

}  // namespace vtfc4
