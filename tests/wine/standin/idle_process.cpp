// A Windows process that does nothing but exist under whatever name it was
// copied to: it writes its own process id to the file named by its
// argument, so a test can put that id into the stand-in's world.
#include <windows.h>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    std::FILE* file = std::fopen(argv[1], "w");
    if (!file)
        return 1;
    std::fprintf(file, "%lu\n", GetCurrentProcessId());
    std::fclose(file);
    Sleep(INFINITE);
    return 0;
}
