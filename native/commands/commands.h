// The command handlers, one per PC/SC call. Each reads its keys into its own argument cells,
// copies its Handle bytes into HandleSlots, makes exactly one call of the smart-card service and
// writes its reply.
#pragma once

#include "host/turn.h"

namespace commands {

// Context (context.cpp)
void AccessStartedEvent(host::Turn& turn);  // 103
void Cancel(host::Turn& turn);              // 108
void EstablishContext(host::Turn& turn);    // 114
void ReleaseContext(host::Turn& turn);      // 160

// Connection (connection.cpp)
void BeginTransaction(host::Turn& turn);  // 107
void Connect(host::Turn& turn);           // 109
void Disconnect(host::Turn& turn);        // 112
void EndTransaction(host::Turn& turn);    // 113
void Reconnect(host::Turn& turn);         // 159

// Exchange (exchange.cpp)
void Control(host::Turn& turn);    // 111
void GetAttrib(host::Turn& turn);  // 122
void Transmit(host::Turn& turn);   // 169

// Readers (readers.cpp)
void GetStatusChange(host::Turn& turn);   // 133
void ListReaderGroups(host::Turn& turn);  // 147
void ListReaders(host::Turn& turn);       // 149
void Status(host::Turn& turn);            // 167

}  // namespace commands
