#include "commands/cells.h"

namespace commands {

Cells g_cells;

}  // namespace commands
