// Resource-manager context: establish, release, cancel, and the service-started event.
#include "commands/cells.h"
#include "commands/commands.h"
#include "host/reply.h"
#include "pcsc/service.h"

namespace commands {

using host::g_handleSlots;

namespace {
const char* const kContextByteMembers[8] = {"pbContext0", "pbContext1", "pbContext2", "pbContext3",
                                            "pbContext4", "pbContext5", "pbContext6", "pbContext7"};
}  // namespace

void AccessStartedEvent(host::Turn& turn) {
  pcsc::Result result = pcsc::kSuccess;
  // Once the host holds the event it never asks again.
  if (g_handleSlots.event == 0) {
    host::SendHeldReplies(turn);
    g_handleSlots.event = pcsc::AccessStartedEvent();
    result = g_handleSlots.event != 0 ? pcsc::kSuccess : pcsc::kNoService;
  }
  host::BeginReply(turn, "SCardAccessStartedEvent", result);
  host::SendReply(turn);
}

void EstablishContext(host::Turn& turn) {
  EstablishContextCells& cells = g_cells.establishContext;
  host::ReadNumber(turn.request, "p", cells.scope);
  host::SendHeldReplies(turn);
  const pcsc::Result result =
      pcsc::EstablishContext(static_cast<uint32_t>(cells.scope), &g_handleSlots.context);
  host::BeginReply(turn, "SCardEstablishContext", result);
  host::AddHandleText(turn, "cbContext", kContextByteMembers, g_handleSlots.context);
  host::SendReply(turn);
}

void ReleaseContext(host::Turn& turn) {
  host::ReadHandleBytes(turn.request, host::kByteKeysW, g_cells.releaseContext);
  host::CopyHandleBytes(g_cells.releaseContext, g_handleSlots.context);
  host::SendHeldReplies(turn);
  const pcsc::Result result = pcsc::ReleaseContext(g_handleSlots.context);
  host::BeginReply(turn, "SCardReleaseContext", result);
  host::SendReply(turn);
}

void Cancel(host::Turn& turn) {
  host::ReadHandleBytes(turn.request, host::kByteKeysS, g_cells.cancel);
  host::CopyHandleBytes(g_cells.cancel, g_handleSlots.context);
  host::SendHeldReplies(turn);
  const pcsc::Result result = pcsc::Cancel(g_handleSlots.context);
  host::BeginReply(turn, "SCardCancel", result);
  host::SendReply(turn);
}

}  // namespace commands
