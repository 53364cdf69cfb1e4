#include "runtime/errors.h"

namespace torvinale {
namespace {
thread_local const void* raise_address = nullptr;
}  // namespace

const void* LastRaiseAddress() { return raise_address; }
void SetRaiseAddress(const void* address) { raise_address = address; }

}  // namespace torvinale
