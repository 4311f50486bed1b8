// Stands in for the SSH client in the launch tests, on Linux and on Windows:
// writes where it was started and each argument it got to a file of its own
// in $TESSALY_FAKE_SSH_RECORDS, in one rename so a reader never sees half.
//
//   line 1   the working directory
//   line 2   the number of arguments
//   then     [argument], one per line
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

int main(int argc, char **argv)
{
    const char *records = std::getenv("TESSALY_FAKE_SSH_RECORDS");
    if (!records || !*records)
        return 2;
    namespace fs = std::filesystem;
    const fs::path out = fs::path(records) / ("launch." + std::to_string(getpid()));
    fs::path tmp = out;
    tmp += ".tmp";
    {
        std::ofstream file(tmp, std::ios::binary);
        file << fs::current_path().string() << '\n' << argc - 1 << '\n';
        for (int i = 1; i < argc; ++i)
            file << '[' << argv[i] << "]\n";
        if (!file)
            return 1;
    }
    std::error_code error;
    fs::rename(tmp, out, error);
    return error ? 1 : 0;
}
