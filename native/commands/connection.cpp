// Card connection: connect, reconnect, disconnect, and transactions.
#include <string>

#include "commands/cells.h"
#include "commands/commands.h"
#include "host/reply.h"
#include "pcsc/service.h"

namespace commands {

using host::g_handleSlots;

namespace {
// The card handle's byte members after the first carry the context's names.
const char* const kCardByteMembers[8] = {"pbHandlet0", "pbContext1", "pbContext2", "pbContext3",
                                         "pbContext4", "pbContext5", "pbContext6", "pbContext7"};
}  // namespace

void Connect(host::Turn& turn) {
  ConnectCells& cells = g_cells.connect;
  host::ReadHandleBytes(turn.request, host::kByteKeysW, cells.handle);
  const std::string* reader = host::ReadText(turn.request, "g");
  host::ReadNumber(turn.request, "q", cells.shareMode);
  host::ReadNumber(turn.request, "b", cells.protocols);
  host::CopyHandleBytes(cells.handle, g_handleSlots.context);

  pcsc::Handle card = 0;
  pcsc::Word activeProtocol = 0;
  host::SendHeldReplies(turn);
  const pcsc::Result result =
      pcsc::Connect(g_handleSlots.context, reader != nullptr ? reader->c_str() : "",
                    cells.shareMode, cells.protocols, &card, &activeProtocol);
  host::BeginReply(turn, "SCardConnectA", result);
  host::AddHandleText(turn, "cbHandle", kCardByteMembers, card);
  host::AddNumberMember(turn, "dwActiveProtocol", activeProtocol);
  host::SendReply(turn);
}

void Reconnect(host::Turn& turn) {
  ReconnectCells& cells = g_cells.reconnect;
  host::ReadHandleBytes(turn.request, host::kByteKeysS, cells.handle);
  host::ReadNumber(turn.request, "w", cells.shareMode);
  host::ReadNumber(turn.request, "m", cells.protocols);
  host::ReadNumber(turn.request, "t", cells.initialization);
  host::CopyHandleBytes(cells.handle, g_handleSlots.card);

  pcsc::Word activeProtocol = 0;
  host::SendHeldReplies(turn);
  const pcsc::Result result = pcsc::Reconnect(g_handleSlots.card, cells.shareMode, cells.protocols,
                                              cells.initialization, &activeProtocol);
  host::BeginReply(turn, "SCardReconnect", result);
  host::AddNumberMember(turn, "dwActiveProtocol", activeProtocol);
  host::SendReply(turn);
}

void Disconnect(host::Turn& turn) {
  DispositionCells& cells = g_cells.disconnect;
  host::ReadHandleBytes(turn.request, host::kByteKeysS, cells.handle);
  host::ReadNumber(turn.request, "w", cells.disposition);
  host::CopyHandleBytes(cells.handle, g_handleSlots.card);
  host::SendHeldReplies(turn);
  const pcsc::Result result = pcsc::Disconnect(g_handleSlots.card, cells.disposition);
  host::BeginReply(turn, "SCardDisconnect", result);
  host::SendReply(turn);
}

void BeginTransaction(host::Turn& turn) {
  host::ReadHandleBytes(turn.request, host::kByteKeysS, g_cells.beginTransaction);
  host::CopyHandleBytes(g_cells.beginTransaction, g_handleSlots.card);
  host::SendHeldReplies(turn);
  const pcsc::Result result = pcsc::BeginTransaction(g_handleSlots.card);
  host::BeginReply(turn, "SCardBeginTransaction", result);
  host::SendReply(turn);
}

void EndTransaction(host::Turn& turn) {
  DispositionCells& cells = g_cells.endTransaction;
  host::ReadHandleBytes(turn.request, host::kByteKeysS, cells.handle);
  host::ReadNumber(turn.request, "w", cells.disposition);
  host::CopyHandleBytes(cells.handle, g_handleSlots.card);
  host::SendHeldReplies(turn);
  const pcsc::Result result = pcsc::EndTransaction(g_handleSlots.card, cells.disposition);
  host::BeginReply(turn, "SCardEndTransaction", result);
  host::SendReply(turn);
}

}  // namespace commands
