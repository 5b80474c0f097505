// The argument cells of every command: numeric arguments that persist from one request of a
// command to the next. No two commands share a cell; all start at zero.
#pragma once

#include <cstdint>

#include "host/arguments.h"

namespace commands {

using host::HandleCells;

struct EstablishContextCells {
  int32_t scope = 0;  // "p"
};

struct ConnectCells {
  HandleCells handle;      // "p", byte key set W
  uint32_t shareMode = 0;  // "q"
  uint32_t protocols = 0;  // "b"
};

struct ReconnectCells {
  HandleCells handle;           // "p", byte key set S
  uint32_t shareMode = 0;       // "w"
  uint32_t protocols = 0;       // "m"
  uint32_t initialization = 0;  // "t"
};

struct DispositionCells {
  HandleCells handle;        // "p", byte key set S
  uint32_t disposition = 0;  // "w"
};

struct TransmitCells {
  HandleCells handle;         // "p", byte key set S
  int32_t sendPciLength = 0;  // "n"
  int32_t sendLength = 0;     // "q"
  int32_t recvPciLength = 0;  // "d", rewritten from the receive record after the call
  uint32_t recvLength = 0;    // "f"
  int32_t noRecvBuffer = 0;   // "t"
};

struct ControlCells {
  HandleCells handle;      // "p", byte key set S
  uint32_t code = 0;       // "w"
  int32_t inLength = 0;    // "q"
  uint32_t outLength = 0;  // "m"
};

struct GetAttribCells {
  HandleCells handle;        // "p", byte key set S
  uint32_t attributeId = 0;  // "g"
  int32_t noBuffer = 0;      // "q"
  uint32_t length = 0;       // "m"
};

struct ListReadersCells {
  HandleCells handle;        // "p", byte key set S
  int32_t groupsLength = 0;  // "k"
};

struct StatusCells {
  HandleCells handle;        // "p", byte key set S
  uint32_t namesLength = 0;  // "w", passed to the call by address
  uint32_t atrLength = 0;    // "g", passed to the call by address
};

struct GetStatusChangeCells {
  HandleCells handle;    // "p", byte key set S
  uint32_t timeout = 0;  // "m"
  uint32_t count = 0;    // "w"
};

struct Cells {
  EstablishContextCells establishContext;  // 114
  HandleCells releaseContext;              // 160, byte key set W
  HandleCells cancel;                      // 108
  ConnectCells connect;                    // 109
  ReconnectCells reconnect;                // 159
  DispositionCells disconnect;             // 112
  HandleCells beginTransaction;            // 107
  DispositionCells endTransaction;         // 113
  TransmitCells transmit;                  // 169
  ControlCells control;                    // 111
  GetAttribCells getAttrib;                // 122
  HandleCells listReaderGroups;            // 147
  ListReadersCells listReaders;            // 149
  StatusCells status;                      // 167
  GetStatusChangeCells getStatusChange;    // 133
};

extern Cells g_cells;

}  // namespace commands
