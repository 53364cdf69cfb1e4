#include "runtime/errors.h"

namespace torvinale {
namespace {
thread_local void* raise_address = nullptr;
}  // namespace

void* LastRaiseAddress() { return raise_address; }
void SetRaiseAddress(void* address) { raise_address = address; }

}  // namespace torvinale
