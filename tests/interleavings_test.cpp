// Several controllers of one sound server and their keepers, in this one
// process, over the simulated platform and its shared table, on the virtual
// clock. A seeded explorer runs schedules of their steps (ducks, restores,
// ends of input, a holder stopped past the turn's patience while the others
// go on, kills with and without the keeper, a torn write of the table, a stalled
// server, the user setting a level) and checks the promise at the end of
// each, once a fresh controller has had its restore: every session at its
// own level or at the last level the user set on it, no hold left, no
// keeper left. A failing schedule is printed as its steps, with
// the seed that replays it: APPDUCK_SCHEDULE_SEED=N runs that one alone,
// APPDUCK_SCHEDULES=N runs N (2,000 by default).
#include "ducking/ducking.h"
#include "support/sim_world.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kControllers = 4;
constexpr uint32_t kFirstControllerPid = 500;
constexpr uint32_t kFirstKeeperPid = 600;
constexpr uint32_t kFreshPid = 700;
const char* const kNames[] = {"player", "radio", "player;radio", "*"};
const int kPercents[] = {0, 20, 50, 80, 100};

enum class Kind { kDuck, kRestore, kEnd, kKill, kKillWithKeeper, kStop, kTear, kStall, kUser };

struct Step {
    Kind kind;
    int actor;        // the controller, where the step is one's
    int percent;      // a duck's
    int names;        // a duck's, in kNames
    int stall_ms;     // a stall's
    Kind command;     // what a stopped controller was doing: a duck or a restore
    std::vector<Step> meanwhile;  // what the others do while it is stopped
};

std::string describe(const Step& step)
{
    const std::string who = std::string(1, static_cast<char>('A' + step.actor)) + ": ";
    const std::string duck = "duck " + std::to_string(step.percent) + " " + kNames[step.names];
    switch (step.kind) {
    case Kind::kDuck: return who + duck;
    case Kind::kRestore: return who + "restore";
    case Kind::kEnd: return who + "end of input";
    case Kind::kKill: return who + "killed with its keeper";
    case Kind::kKillWithKeeper: return who + "killed, its keeper left";
    case Kind::kTear: return "the next table write torn";
    case Kind::kStall: return "the server stalls " + std::to_string(step.stall_ms) + " ms";
    case Kind::kUser:
        return std::string("the user raises the ") + (step.names % 2 ? "radio" : "player");
    case Kind::kStop: {
        std::string text = who + "stopped holding the turn in " +
                           (step.command == Kind::kDuck ? duck : std::string("restore")) + " {";
        for (const Step& other : step.meanwhile)
            text += " " + describe(other) + ";";
        return text + " } and continued";
    }
    }
    return "?";
}

// One process of the world: a controller, or a keeper acting for one.
struct Process {
    uint32_t pid;
    bool alive;
};

Controller g_states[kControllers];
Controller g_keeper_state;
Controller g_fresh;
Process g_controllers[kControllers];
struct PendingKeeper {
    uint32_t pid;
    std::string records;
};
std::vector<PendingKeeper> g_pending;
int g_keepers_started = 0;

// The stop under way: its controller, and what runs while it is stopped.
struct Stop {
    int actor = -1;
    const std::vector<Step>* meanwhile = nullptr;
    bool done = false;
};
Stop g_stop;

void run(const Step& step);

// As the stopped controller waits while holding the turn, the others run.
void on_sleep(uint64_t)
{
    if (g_stop.actor < 0 || g_stop.done || sim_own_pid() != g_controllers[g_stop.actor].pid ||
        !g_states[g_stop.actor].sharing.in_turn)
        return;
    g_stop.done = true;
    for (const Step& other : *g_stop.meanwhile)
        run(other);
    sim_set_own_pid(g_controllers[g_stop.actor].pid);
}

// A controller whose pipe ended: its keeper acts on what it was told, when
// it next gets to run.
void keeper_after()
{
    const std::string records = sim_keeper_pipe();
    if (!records.empty())
        g_pending.push_back({kFirstKeeperPid + static_cast<uint32_t>(g_keepers_started++), records});
}

void run_pending_keepers()
{
    while (!g_pending.empty()) {
        const PendingKeeper keeper = g_pending.front();
        g_pending.erase(g_pending.begin());
        sim_add_process(keeper.pid, "appduck.exe");
        sim_set_own_pid(keeper.pid);
        start_controller(g_keeper_state);
        sim_feed_keeper(keeper.records.c_str());
        run_keeper(g_keeper_state);
        sim_end_process(keeper.pid);
    }
}

int g_player = -1;
int g_radio = -1;
// Each session's level as the user last set it (its own before that).
float g_player_own = 0.8f;
float g_radio_own = 0.7f;

// The user sets a level no ramp wrote: above any the session had.
void user_raises(int session)
{
    float& own = session == g_player ? g_player_own : g_radio_own;
    if (own >= 1.0f)
        return;
    own = own + 0.05f > 1.0f ? 1.0f : own + 0.05f;
    sim_set_session_volume(session, own);
}

void run(const Step& step)
{
    Controller& state = g_states[step.actor];
    Process& process = g_controllers[step.actor];
    const bool acts = step.kind == Kind::kTear || step.kind == Kind::kStall ||
                      step.kind == Kind::kUser || process.alive;
    if (!acts)
        return;
    sim_set_own_pid(process.pid);
    const std::string duck =
        "duck " + std::to_string(step.percent) + " " + std::string(kNames[step.names]);
    switch (step.kind) {
    case Kind::kDuck:
        duck_sessions(state, duck.c_str());
        break;
    case Kind::kRestore:
        restore_command(state, "restore");
        break;
    case Kind::kEnd:
        restore_command(state, "restore");
        let_keeper_go(state);
        release_sessions(state.sessions);
        keeper_after();
        process.alive = false;
        sim_end_process(process.pid);
        break;
    case Kind::kKill:
    case Kind::kKillWithKeeper:
        // Its keeper sees the pipe end (or dies beside it).
        if (keeper_running()) {
            if (step.kind == Kind::kKillWithKeeper)
                keeper_after();
            release_keeper();
        }
        release_sessions(state.sessions);  // the process's references go with it
        process.alive = false;
        sim_end_process(process.pid);
        break;
    case Kind::kStop: {
        const Stop outer = g_stop;
        g_stop = {step.actor, &step.meanwhile, false};
        if (step.command == Kind::kDuck)
            duck_sessions(state, duck.c_str());
        else
            restore_command(state, "restore");
        // It never held the turn while waiting: the others go on after it.
        if (!g_stop.done) {
            g_stop.done = true;
            for (const Step& other : step.meanwhile)
                run(other);
        }
        g_stop = outer;
        break;
    }
    case Kind::kTear:
        sim_tear_next_table_write();
        break;
    case Kind::kStall:
        sim_stall_answers(sim_clock_ms(), sim_clock_ms() + static_cast<uint64_t>(step.stall_ms));
        break;
    case Kind::kUser:
        user_raises(step.names % 2 ? g_radio : g_player);
        break;
    }
}

Step random_step(std::mt19937& random, int controllers, bool top)
{
    Step step{};
    step.actor = static_cast<int>(random() % static_cast<unsigned>(controllers));
    step.percent = kPercents[random() % std::size(kPercents)];
    step.names = static_cast<int>(random() % std::size(kNames));
    const auto pick = random() % 100;
    if (pick < 35)
        step.kind = Kind::kDuck;
    else if (pick < 55)
        step.kind = Kind::kRestore;
    else if (pick < 63)
        step.kind = Kind::kEnd;
    else if (pick < 68)
        step.kind = Kind::kKill;
    else if (pick < 75)
        step.kind = Kind::kKillWithKeeper;
    else if (pick < 79)
        step.kind = Kind::kTear;
    else if (pick < 83)
        step.kind = Kind::kStall;
    else if (pick < 88 && top)
        step.kind = Kind::kUser;  // not while a controller is stopped in its turn
    else
        step.kind = top ? Kind::kStop : Kind::kDuck;
    step.stall_ms = random() % 2 ? 500 : 3000;
    if (step.kind == Kind::kStop) {
        step.command = random() % 2 ? Kind::kDuck : Kind::kRestore;
        const int others = 1 + static_cast<int>(random() % 3);
        for (int i = 0; i < others; ++i) {
            Step other = random_step(random, controllers, false);
            // The stopped one does nothing meanwhile.
            if (other.actor == step.actor)
                other.actor = (other.actor + 1) % controllers;
            step.meanwhile.push_back(other);
        }
    }
    return step;
}

std::vector<Step> random_schedule(unsigned seed)
{
    std::mt19937 random(seed);
    const int controllers = 2 + static_cast<int>(random() % (kControllers - 1));
    const int length = 2 + static_cast<int>(random() % 9);
    std::vector<Step> schedule;
    for (int i = 0; i < length; ++i)
        schedule.push_back(random_step(random, controllers, true));
    // A controller stopped in its turn leaves the others working without
    // it, blind to what it writes: the user's level is not promised to
    // stand there (a known limit), so the user steps in other schedules.
    bool stopped = false;
    for (const Step& step : schedule)
        stopped = stopped || step.kind == Kind::kStop;
    for (Step& step : schedule) {
        if (stopped && step.kind == Kind::kUser)
            step.kind = Kind::kRestore;
    }
    return schedule;
}

void start_world()
{
    // What a killed controller held goes with its process.
    for (int i = 0; i < kControllers; ++i) {
        sim_set_own_pid(g_controllers[i].pid);
        release_sessions(g_states[i].sessions);
    }
    sim_reset();
    sim_on_sleep(on_sleep);
    g_player = add_app(sim_add_endpoint(), 10, "player.exe", 0.8f);
    sim_set_session_memory(g_player, "by-name:player");
    g_radio = add_app(0, 20, "radio.exe", 0.7f);
    g_player_own = 0.8f;
    g_radio_own = 0.7f;
    for (int i = 0; i < kControllers; ++i) {
        g_controllers[i] = {kFirstControllerPid + static_cast<uint32_t>(i), true};
        sim_add_process(g_controllers[i].pid, "appduck.exe");
        start_controller(g_states[i]);
    }
    g_pending.clear();
    g_keepers_started = 0;
    g_stop = {};
}

// The promise, once every controller has ended (those still running end
// their input) and a fresh one has had its restore: what is still wrong.
std::string broken_promise()
{
    for (int i = 0; i < kControllers; ++i) {
        run_pending_keepers();
        run(Step{Kind::kEnd, i, 0, 0, 0, Kind::kDuck, {}});
    }
    run_pending_keepers();
    sim_add_process(kFreshPid, "appduck.exe");
    sim_set_own_pid(kFreshPid);
    start_controller(g_fresh);
    restore_command(g_fresh, "restore");
    let_keeper_go(g_fresh);
    release_sessions(g_fresh.sessions);
    keeper_after();
    sim_end_process(kFreshPid);
    run_pending_keepers();
    std::string wrong;
    if (sim_session_volume(g_player) != g_player_own)
        wrong += "the player at " + std::to_string(sim_session_volume(g_player)) + ", not " +
                 std::to_string(g_player_own) + "; ";
    if (sim_session_volume(g_radio) != g_radio_own)
        wrong += "the radio at " + std::to_string(sim_session_volume(g_radio)) + ", not " +
                 std::to_string(g_radio_own) + "; ";
    static HoldTable table;
    if (parse_hold_table(sim_shared_table(), table) != TableText::kOurs)
        wrong += "the table unreadable; ";
    for (int slot = 0; slot < kMaxHolders; ++slot) {
        if (table.holders[slot].pid != 0)
            wrong += "holder " + std::to_string(table.holders[slot].pid) + " left; ";
    }
    if (table.session_count != 0)
        wrong += std::to_string(table.session_count) + " sessions left held; ";
    if (sim_keepers_running() != 0)
        wrong += "a keeper left running; ";
    return wrong;
}

std::string explore(unsigned seed)
{
    start_world();
    const std::vector<Step> schedule = random_schedule(seed);
    for (const Step& step : schedule) {
        run_pending_keepers();
        run(step);
    }
    const std::string wrong = broken_promise();
    if (std::getenv("APPDUCK_SCHEDULE_SEED")) {
        for (int i = 0; i < sim_volume_set_count(); ++i)
            std::printf("  set %d %.3f at %llu\n", sim_volume_set(i).session,
                        static_cast<double>(sim_volume_set(i).level),
                        static_cast<unsigned long long>(sim_volume_set(i).at_ms));
    }
    if (wrong.empty())
        return "";
    std::string text = "seed " + std::to_string(seed) + " (APPDUCK_SCHEDULE_SEED=" +
                       std::to_string(seed) + "): " + wrong + "\n";
    for (const Step& step : schedule)
        text += "  " + describe(step) + "\n";
    return text;
}

unsigned from_environment(const char* name, unsigned otherwise)
{
    const char* value = std::getenv(name);
    return value && *value ? static_cast<unsigned>(std::strtoul(value, nullptr, 10)) : otherwise;
}

TEST(Interleavings, EveryScheduleKeepsThePromise)
{
    const char* replay = std::getenv("APPDUCK_SCHEDULE_SEED");
    const unsigned first = replay && *replay ? from_environment("APPDUCK_SCHEDULE_SEED", 0) : 1;
    const unsigned count = replay && *replay ? 1 : from_environment("APPDUCK_SCHEDULES", 2000);
    int failures = 0;
    for (unsigned seed = first; seed < first + count && failures < 3; ++seed) {
        const std::string failure = explore(seed);
        if (!failure.empty()) {
            ADD_FAILURE() << failure;
            ++failures;
        }
    }
    sim_on_sleep(nullptr);
    std::printf("%u schedules of up to %d controllers explored\n", count, kControllers);
}

}  // namespace
