#include "app/exchange_guard.h"

namespace {

struct ExchangeGuard {
  bool running;
  CloseProc pendingClose;  // null: no close was asked for
  void* pendingContext;
};

// One dialog, one thread: the state of its one running sequence.
ExchangeGuard DialogExchange = {false, nullptr, nullptr};

}  // namespace

WriteResult RunGuardedWriteSequence(FrontEnd* frontEnd, WriteAction action) {
  // A button message posted to the dialog while a box is up would start a
  // second sequence on the port the first one holds: one at a time.
  if (DialogExchange.running) return RunWriteSequence(nullptr, action);
  DialogExchange.running = true;
  WriteResult result = RunWriteSequence(frontEnd, action);
  DialogExchange.running = false;
  CloseProc close = DialogExchange.pendingClose;
  DialogExchange.pendingClose = nullptr;
  if (close != nullptr) close(DialogExchange.pendingContext);
  return result;
}

void RequestClose(CloseProc close, void* context) {
  if (!DialogExchange.running) {
    close(context);
    return;
  }
  DialogExchange.pendingClose = close;
  DialogExchange.pendingContext = context;
}
