#include "host/dispatch.h"

#include "commands/commands.h"

namespace host {
namespace {

constexpr Command kCommands[] = {
    {103, "SCardAccessStartedEvent", commands::AccessStartedEvent},
    {107, "SCardBeginTransaction", commands::BeginTransaction},
    {108, "SCardCancel", commands::Cancel},
    {109, "SCardConnectA", commands::Connect},
    {111, "SCardControl", commands::Control},
    {112, "SCardDisconnect", commands::Disconnect},
    {113, "SCardEndTransaction", commands::EndTransaction},
    {114, "SCardEstablishContext", commands::EstablishContext},
    {122, "SCardGetAttrib", commands::GetAttrib},
    {133, "SCardGetStatusChangeA", commands::GetStatusChange},
    {147, "SCardListReaderGroupsA", commands::ListReaderGroups},
    {149, "SCardListReadersA", commands::ListReaders},
    {159, "SCardReconnect", commands::Reconnect},
    {160, "SCardReleaseContext", commands::ReleaseContext},
    {167, "SCardStatusA", commands::Status},
    {169, "SCardTransmit", commands::Transmit},
};

}  // namespace

const Command* FindCommand(int32_t code) {
  for (const Command& command : kCommands) {
    if (command.code == code) return command.handler != nullptr ? &command : nullptr;
  }
  return nullptr;
}

}  // namespace host
