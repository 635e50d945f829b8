// The C entry points of the plug-in and of the Redis module never let an
// exception of their own C++ unwind into their C caller (std::bad_alloc,
// std::out_of_range...): each runs its body under guardEntry and answers
// such an exception with its failure code and a reason. The broker's own
// exceptions are different: cciThrowException and cciRethrowLastException
// raise them through the plug-in's frames to the broker, and so every call
// of those two goes through raiseThroughBroker, whose exception alone passes
// a guard. A thread's cancellation (forced unwinding) passes too.
// Header-only, for the plug-in and the module alike.
#ifndef KVPOOL_SUPPORT_ENTRYGUARD_H
#define KVPOOL_SUPPORT_ENTRYGUARD_H

#include <cxxabi.h>

#include <exception>
#include <new>

namespace kvpool {

// True from the call of cciThrowException or cciRethrowLastException until
// the thread's next outermost entry starts (or the call returned without
// raising). Entries nested in one (the trace, called from a destructor while
// the broker's exception unwinds, say) leave it as it is.
inline thread_local bool brokerRaising = false;
inline thread_local int entryDepth = 0;

struct EntryDepth {
  EntryDepth() {
    if (entryDepth++ == 0) brokerRaising = false;
  }
  ~EntryDepth() { --entryDepth; }
  EntryDepth(const EntryDepth&) = delete;
  EntryDepth& operator=(const EntryDepth&) = delete;
};

// Calls raise, one call of cciThrowException or cciRethrowLastException: the
// exception it raises passes every guard on its way to the broker.
template <typename Raise>
void raiseThroughBroker(Raise raise) {
  brokerRaising = true;
  raise();
  brokerRaising = false;
}

// What the exception being handled says; valid while it is handled.
inline const char* handledExceptionReason() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& exception) {
    return exception.what();
  } catch (...) {
    return "an exception of unknown type";
  }
}

// Runs body and returns its result. An exception of its own is answered by
// failed(reason), whose result is returned instead; failed must not throw.
template <typename Body, typename Failed>
auto guardEntry(Body&& body, Failed&& failed) -> decltype(body()) {
  const EntryDepth depth;
  try {
    return body();
  } catch (const abi::__forced_unwind&) {
    throw;
  } catch (...) {
    if (brokerRaising) throw;
    return failed(handledExceptionReason());
  }
}

}  // namespace kvpool

#endif
