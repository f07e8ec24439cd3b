// The six exported C entry points of the replay board plugin.
#include "plugins/common/board_plugin_exports.h"

#include "replay_board.h"

QUARIX_BOARD_PLUGIN_EXPORTS(board_plugin::Boards<replay::ReplayBoard>);
