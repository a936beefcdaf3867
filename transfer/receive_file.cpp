#include "transfer/receive_file.h"

#include <filesystem>
#include <random>

namespace fs = std::filesystem;

namespace qel::transfer {

namespace {

// Names for the file being received that nobody else uses: a random part, tried afresh
// should one be taken.
constexpr int kNameTries = 16;

std::string PartName(const std::string& path, std::mt19937_64& random) {
    static const char kDigits[] = "0123456789abcdef";
    std::string name = path + ".part-";
    std::uint64_t r = random();
    for (int i = 0; i < 12; ++i, r >>= 4) name += kDigits[r & 0xF];
    return name;
}

}  // namespace

bool ReceiveFile::Create(const std::string& path) {
    Discard();
    if (path.empty()) return false;
    std::error_code ec;
    const fs::file_status existing = fs::symlink_status(path, ec);
    if (fs::exists(existing) && !fs::is_regular_file(existing) && !fs::is_symlink(existing)) {
        return false;
    }
    std::random_device seed;
    std::mt19937_64 random((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
    for (int i = 0; i < kNameTries && !file_; ++i) {
        const std::string part = PartName(path, random);
        if (fs::exists(fs::symlink_status(part, ec))) continue;
        file_ = std::fopen(part.c_str(), "wb");
        if (!file_) return false;
        part_ = part;
    }
    if (!file_) return false;
    path_ = path;
    // An earlier file keeps its permissions, as it would had it been written over.
    if (fs::is_regular_file(existing)) {
        fs::permissions(part_, existing.permissions(), ec);
    }
    return true;
}

bool ReceiveFile::Write(const void* data, std::size_t n) {
    return file_ && std::fwrite(data, 1, n, file_) == n;
}

bool ReceiveFile::Commit() {
    if (!file_) return false;
    const bool written = std::fflush(file_) == 0 && !std::ferror(file_);
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    std::error_code ec;
    if (written && closed) fs::rename(part_, path_, ec);
    if (!written || !closed || ec) {
        Discard();
        return false;
    }
    part_.clear();
    return true;
}

void ReceiveFile::Discard() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    if (!part_.empty()) {
        std::error_code ec;
        fs::remove(part_, ec);
    }
    part_.clear();
}

}  // namespace qel::transfer
