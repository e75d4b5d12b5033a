// qzb_run: times commands side by side.
//
//   qzb_run [-w WARMUPS] REPS NAME DIR 'PREPARE' 'COMMAND' [NAME DIR 'PREPARE' 'COMMAND' ...]
//
// Runs every COMMAND WARMUPS times untimed (1 unless given; to warm the page cache and the
// programs' own pages), then REPS rounds in which each
// command runs once, in the order given, so that the commands of one comparison share whatever
// else the machine is doing. COMMAND is split at blanks and started directly in DIR, without a
// shell, with standard input, output and error on /dev/null. PREPARE ("-" for none) runs through
// /bin/sh in DIR before each run, untimed (removing the previous run's output, for example).
//
// Prints one line per command: NAME, median and fastest wall seconds, median CPU seconds (user
// plus system, the command's process tree), and the peak resident memory in KiB of the largest
// process in its tree.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

struct command {
    std::string name, dir, prepare;
    std::vector<std::string> args;
    std::vector<double> wall, cpu;
    long maxrss_kib = 0;
};

double now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double seconds(const timeval &tv) {
    return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < s.size()) {
        const size_t b = s.find_first_not_of(' ', i);
        if (b == std::string::npos)
            break;
        const size_t e = s.find(' ', b);
        out.push_back(s.substr(b, e == std::string::npos ? std::string::npos : e - b));
        i = e == std::string::npos ? s.size() : e;
    }
    return out;
}

void prepare(const command &c) {
    if (c.prepare == "-")
        return;
    const std::string sh = "cd '" + c.dir + "' && " + c.prepare;
    if (system(sh.c_str()) != 0) {
        fprintf(stderr, "qzb_run: %s: '%s' failed\n", c.name.c_str(), c.prepare.c_str());
        exit(1);
    }
}

void run(command &c, bool timed) {
    prepare(c);
    std::vector<char *> argv;
    for (std::string &a : c.args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const double start = now();
    const pid_t pid = fork();
    if (pid < 0) {
        perror("qzb_run: fork");
        exit(1);
    }
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        if (null < 0 || chdir(c.dir.c_str()) != 0)
            _exit(126);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    rusage ru{};
    if (wait4(pid, &status, 0, &ru) != pid) {
        perror("qzb_run: wait4");
        exit(1);
    }
    const double wall = now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "qzb_run: %s: '%s' in %s failed (status %d)\n", c.name.c_str(),
                c.args[0].c_str(), c.dir.c_str(), status);
        exit(1);
    }
    if (!timed)
        return;
    c.wall.push_back(wall);
    c.cpu.push_back(seconds(ru.ru_utime) + seconds(ru.ru_stime));
    c.maxrss_kib = std::max(c.maxrss_kib, ru.ru_maxrss);
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv) {
    int warmups = 1, first = 1;
    if (argc > 2 && strcmp(argv[1], "-w") == 0) {
        warmups = atoi(argv[2]);
        first = 3;
    }
    if (argc - first < 5 || (argc - first - 1) % 4 != 0 || atoi(argv[first]) < 1) {
        fputs("usage: qzb_run [-w WARMUPS] REPS NAME DIR PREPARE COMMAND [NAME DIR PREPARE COMMAND "
              "...]\n",
              stderr);
        return 2;
    }
    const int reps = atoi(argv[first]);
    std::vector<command> cmds;
    for (int i = first + 1; i < argc; i += 4)
        cmds.push_back({argv[i], argv[i + 1], argv[i + 2], split(argv[i + 3]), {}, {}, 0});
    for (int w = 0; w < warmups; w++)
        for (command &c : cmds)
            run(c, false);
    for (int r = 0; r < reps; r++)
        for (command &c : cmds)
            run(c, true);
    for (const command &c : cmds)
        printf("%s %.6f %.6f %.6f %ld\n", c.name.c_str(), median(c.wall),
               *std::min_element(c.wall.begin(), c.wall.end()), median(c.cpu), c.maxrss_kib);
    return 0;
}
