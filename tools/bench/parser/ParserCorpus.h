#pragma once

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

// The datagrams the parser benchmarks run over: every file of a folder, by name.
struct Datagram {
    std::string name;
    std::string bytes;
};

inline std::vector<Datagram> LoadCorpus(const std::filesystem::path& folder) {
    std::vector<Datagram> corpus;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (!entry.is_regular_file()) {
            continue;
        }
        std::ifstream in(entry.path(), std::ios::binary);
        corpus.push_back({entry.path().filename().string(),
                          std::string(std::istreambuf_iterator<char>(in), {})});
    }
    std::sort(corpus.begin(), corpus.end(),
              [](const Datagram& a, const Datagram& b) { return a.name < b.name; });
    return corpus;
}
