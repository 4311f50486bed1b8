#include "procfs.h"

#include <cstdio>
#include <map>

std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
            out += buffer;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

ProcessMemory readProcessMemory(pid_t pid)
{
    ProcessMemory memory;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/status", int(pid));
    FILE *file = std::fopen(path, "r");
    if (!file)
        return memory;
    char line[256];
    while (std::fgets(line, sizeof line, file)) {
        long value = 0;
        if (std::sscanf(line, "VmHWM: %ld", &value) == 1)
            memory.vmHwm = value;
        else if (std::sscanf(line, "VmRSS: %ld", &value) == 1)
            memory.vmRss = value;
        else if (std::sscanf(line, "RssAnon: %ld", &value) == 1)
            memory.rssAnon = value;
        else if (std::sscanf(line, "RssFile: %ld", &value) == 1)
            memory.rssFile = value;
        else if (std::sscanf(line, "RssShmem: %ld", &value) == 1)
            memory.rssShmem = value;
        else if (std::sscanf(line, "Threads: %ld", &value) == 1)
            memory.threads = value;
    }
    std::fclose(file);
    return memory;
}

void writeResidentByMapping(pid_t pid, const char *out)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/smaps", int(pid));
    FILE *file = std::fopen(path, "r");
    if (!file)
        return;
    std::map<std::string, long> resident;
    std::string current = "[anon]";
    char line[4096];
    while (std::fgets(line, sizeof line, file)) {
        unsigned long start = 0, end = 0;
        int consumed = 0;
        if (std::sscanf(line, "%lx-%lx %*s %*s %*s %*s%n", &start, &end, &consumed) == 2 && consumed > 0) {
            std::string name = line + consumed;
            const size_t first = name.find_first_not_of(" \t");
            name = first == std::string::npos ? std::string() : name.substr(first);
            while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
                name.pop_back();
            current = name.empty() ? "[anon]" : name;
            continue;
        }
        long kib = 0;
        if (std::sscanf(line, "Rss: %ld", &kib) == 1)
            resident[current] += kib;
    }
    std::fclose(file);
    FILE *output = std::fopen(out, "w");
    if (!output)
        return;
    std::fprintf(output, "{");
    bool first = true;
    for (const auto &[name, kib] : resident) {
        std::fprintf(output, "%s%s: %ld", first ? "" : ", ", jsonString(name).c_str(), kib);
        first = false;
    }
    std::fprintf(output, "}\n");
    std::fclose(output);
}
