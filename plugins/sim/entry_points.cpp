// The exported C entry points of the simulated board plugin: the six of every
// board plugin, and the diagnostic VRAXDig2Sim_OutstandingBatches.
#include "plugins/common/board_plugin_exports.h"

#include "sim_board.h"
#include "sim_status.h"

using SimBoards = board_plugin::Boards<sim::SimBoard>;

QUARIX_BOARD_PLUGIN_EXPORTS(SimBoards);

// Number of batches the board has delivered and not yet taken back, or
// kUnknownHandle. For tests and leak checks.
extern "C" VRAXDIG2_EXPORT int32_t VRAXDig2Sim_OutstandingBatches(uint32_t handle)
{
    sim::SimBoard* board = SimBoards::find(handle);
    return board ? int32_t(board->outstandingBatches()) : sim::kUnknownHandle;
}
