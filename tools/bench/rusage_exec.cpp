// rusage_exec PROGRAM [ARGS...]: runs PROGRAM, waits for it and prints
// "rusage <user+sys seconds> <peak RSS KiB>" on standard error, then exits
// with its status. posix_spawn shares our small address space until the
// exec, so the peak measured is the program's own (or ours, if larger).
#include <cstdio>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>  // environ

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fputs("usage: rusage_exec PROGRAM [ARGS...]\n", stderr);
        return 2;
    }
    pid_t child = 0;
    if (posix_spawn(&child, argv[1], nullptr, nullptr, argv + 1, environ) != 0) {
        std::perror("posix_spawn");
        return 2;
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) {
        std::perror("wait4");
        return 2;
    }
    const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                       static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    std::fprintf(stderr, "rusage %.6f %ld\n", cpu, usage.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
