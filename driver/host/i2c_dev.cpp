#include "driver/host/i2c_dev.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "protocol/driver_request.h"

namespace kvt::driver {

namespace {

std::string Lower(std::string s) {
    for (char& c : s) c = char(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool EndsWithBase(const std::string& name, uint16_t base) {
    char four[8], plain[8];
    std::snprintf(four, sizeof four, "%04x", base);
    std::snprintf(plain, sizeof plain, "%x", base);
    std::string n = Lower(name);
    while (!n.empty() && std::isspace(static_cast<unsigned char>(n.back()))) n.pop_back();
    for (const char* digits : {four, plain}) {
        std::string tail = std::string(" ") + digits;
        if (n.size() >= tail.size() && n.compare(n.size() - tail.size(), tail.size(), tail) == 0)
            return true;
    }
    return false;
}

}  // namespace

std::string FindI2cAdapter(const std::string& functionDir, uint16_t ioBase) {
    DIR* dir = opendir(functionDir.c_str());
    if (!dir) return "";
    std::vector<std::string> adapters;
    while (dirent* e = readdir(dir)) {
        std::string name = e->d_name;
        if (name.rfind("i2c-", 0) == 0 && name.size() > 4 &&
            std::all_of(name.begin() + 4, name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            adapters.push_back(name);
    }
    closedir(dir);
    std::sort(adapters.begin(), adapters.end());
    for (const std::string& a : adapters) {
        std::ifstream in(functionDir + "/" + a + "/name");
        std::string name;
        std::getline(in, name);
        if (EndsWithBase(name, ioBase)) return a;
    }
    return adapters.size() == 1 ? adapters[0] : "";
}

int I2cDevTransfer(const std::string& node, Backend::SmbusKernelTransfer& t) {
    int fd = open(node.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) return errno;
    bool write = t.op >= kSmbusOpWriteByte;
    int error = 0;
    if (ioctl(fd, write ? I2C_SLAVE : I2C_SLAVE_FORCE, static_cast<unsigned long>(t.address)) < 0) {
        error = errno;
        close(fd);
        return error;
    }
    i2c_smbus_data data{};
    i2c_smbus_ioctl_data args{};
    args.read_write = write ? I2C_SMBUS_WRITE : I2C_SMBUS_READ;
    args.command = t.command;
    args.data = &data;
    switch (t.op) {
        case kSmbusOpReceiveByte:
            args.size = I2C_SMBUS_BYTE;
            break;
        case kSmbusOpReadByte:
        case kSmbusOpWriteByte:
            args.size = I2C_SMBUS_BYTE_DATA;
            data.byte = uint8_t(t.data);
            break;
        case kSmbusOpReadWord:
        case kSmbusOpWriteWord:
            args.size = I2C_SMBUS_WORD_DATA;
            data.word = t.data;
            break;
        case kSmbusOpReadBlock:
        case kSmbusOpWriteBlock:
            args.size = I2C_SMBUS_BLOCK_DATA;
            data.block[0] = uint8_t(std::min<size_t>(t.block.size(), I2C_SMBUS_BLOCK_MAX));
            std::memcpy(data.block + 1, t.block.data(), data.block[0]);
            break;
        default:
            close(fd);
            return EINVAL;
    }
    if (ioctl(fd, I2C_SMBUS, &args) < 0) error = errno;
    close(fd);
    if (error) return error;
    if (t.op == kSmbusOpReceiveByte || t.op == kSmbusOpReadByte) t.data = data.byte;
    if (t.op == kSmbusOpReadWord) t.data = data.word;
    if (t.op == kSmbusOpReadBlock) {
        size_t n = std::min<size_t>(data.block[0], I2C_SMBUS_BLOCK_MAX);
        t.block.assign(data.block + 1, data.block + 1 + n);
    }
    return 0;
}

}  // namespace kvt::driver
