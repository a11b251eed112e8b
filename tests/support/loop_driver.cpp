#include "loop_driver.h"

#include "app/command_loop.h"

#include <cstdio>
#include <unistd.h>

namespace {

// Points a standard descriptor at a file for the life of the object.
class Redirect {
public:
    Redirect(int fd, std::FILE* file) : fd_(fd), saved_(dup(fd))
    {
        dup2(fileno(file), fd);
    }
    ~Redirect()
    {
        dup2(saved_, fd_);
        close(saved_);
    }
    Redirect(const Redirect&) = delete;
    Redirect& operator=(const Redirect&) = delete;

private:
    int fd_;
    int saved_;
};

std::string read_all(std::FILE* file)
{
    std::string text;
    std::rewind(file);
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        text.append(chunk, got);
    return text;
}

}  // namespace

Controller& test_controller()
{
    static Controller controller;
    return controller;
}

int run_test_keeper()
{
    static Controller keeper;
    start_controller(keeper);
    return run_keeper(keeper);
}

LoopRun run_loop(const std::string& input)
{
    std::FILE* in = std::tmpfile();
    std::FILE* out = std::tmpfile();
    std::fwrite(input.data(), 1, input.size(), in);
    std::fflush(in);
    std::rewind(in);

    std::fflush(stdout);
    LoopRun run{};
    {
        Redirect to_stdin(0, in);
        Redirect to_stdout(1, out);
        std::clearerr(stdin);
        run.status = run_command_loop(test_controller());
        std::fflush(stdout);
        // Whatever the loop left unread (after `quit`, say) must not reach
        // the next run from stdin's buffer.
        while (std::getchar() != EOF) {
        }
    }
    run.output = read_all(out);
    std::fclose(in);
    std::fclose(out);
    return run;
}
