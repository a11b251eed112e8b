// The command path allocates nothing on the heap per command: a long
// session costs exactly the allocations of a short one (stdio's buffers,
// made once). malloc and friends are counted by interposing glibc's.
#include "app/command_loop.h"
#include "support/simulated/platform.h"
#include "support/sim_world.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

bool g_counting = false;
long g_allocations = 0;

void count()
{
    if (g_counting)
        ++g_allocations;
}

}  // namespace

extern "C" {
void* malloc(size_t size)
{
    count();
    return __libc_malloc(size);
}
void* calloc(size_t count_, size_t size)
{
    count();
    return __libc_calloc(count_, size);
}
void* realloc(void* block, size_t size)
{
    count();
    return __libc_realloc(block, size);
}
void* memalign(size_t alignment, size_t size)
{
    count();
    return __libc_memalign(alignment, size);
}
}

namespace {

// Allocations made while the loop runs over `input`, its output thrown away.
long allocations_of_session(const std::string& input)
{
    sim_reset();
    sim_add_endpoint();
    add_app(0, 100, "player.exe", 0.5f);
    add_app(0, 101, "Chat.exe", 0.8f);

    std::FILE* in = std::tmpfile();
    std::fwrite(input.data(), 1, input.size(), in);
    std::fflush(in);
    std::rewind(in);
    std::fflush(stdout);
    const int saved_in = dup(0);
    const int saved_out = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(fileno(in), 0);
    dup2(null, 1);
    std::clearerr(stdin);

    g_allocations = 0;
    g_counting = true;
    static Controller controller;
    start_controller(controller);
    const int status = run_command_loop(controller);
    std::fflush(stdout);
    g_counting = false;

    dup2(saved_in, 0);
    dup2(saved_out, 1);
    close(saved_in);
    close(saved_out);
    close(null);
    std::fclose(in);
    EXPECT_EQ(status, 0);
    return g_allocations;
}

std::string repeat(const std::string& text, int times)
{
    std::string result;
    for (int i = 0; i < times; ++i)
        result += text;
    return result;
}

TEST(Allocations, NoneMorePerCommand)
{
    const std::string commands =
        "list\nduck 20 player;chat*\nlist\nduck 50 *\nrestore\nrestore\nhello\n" +
        std::string(5000, 'x') + "\n";
    // The first session makes what is made once (stdio's buffers, the
    // locale object of the case-insensitive comparison).
    const long first = allocations_of_session(commands);
    const long once = allocations_of_session(commands);
    const long often = allocations_of_session(repeat(commands, 200));
    EXPECT_EQ(often, once) << "allocations grow with the number of commands";
    EXPECT_LE(once, first);
    std::printf("allocations: %ld in a first session, %ld in a later one of 8 commands, "
                "%ld in one of 1600\n", first, once, often);
    // The counter works: stdio allocates its buffers on first use at least
    // in the first session, and this call allocates for certain.
    g_counting = true;
    void* probe = std::malloc(16);
    g_counting = false;
    std::free(probe);
    EXPECT_GE(g_allocations, 1);
}

}  // namespace
