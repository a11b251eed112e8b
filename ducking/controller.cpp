#include "ducking/controller.h"

void start_controller(Controller& controller)
{
    release_sessions(controller.sessions);
    controller.sessions.rebuilds = 0;
    controller.sessions.blind = true;
    controller.sessions.unsure_count = 0;
    controller.saved.count = 0;
    for (bool& untold : controller.saved.untold)
        untold = false;
    controller.saved.times_rewritten = 0;
    Sharing& sharing = controller.sharing;
    sharing.told_whose = false;
    sharing.self = {};
    sharing.unwritten_count = 0;
    sharing.unwritten_changes = 0;
    sharing.in_turn = false;
    controller.keeper = {};
    controller.spared = {};
    controller.remembered.count = 0;
}
