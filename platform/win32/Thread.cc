// Windows has no signals for a new thread to start without.
#include "platform/Thread.h"

namespace platform {
namespace backend {

void HoldSignalsForNewThread() {}
void ReleaseSignalsAfterNewThread() {}

}  // namespace backend
}  // namespace platform
