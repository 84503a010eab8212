#include "tests/sdk/blackbox/EhFrameBuilder.h"

#include <algorithm>
#include <cstring>

namespace blackboxtest {

namespace {

template <typename T>
void appendFixed(UnwindBytes& bytes, T value) {
    size_t at = bytes.size();
    bytes.resize(at + sizeof value);
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

// Pads a record to a multiple of 8 with DW_CFA_nop and sets its length.
void finishRecord(UnwindBytes& record) {
    while (record.size() % 8 != 0) record.push_back(0);
    uint32_t length = static_cast<uint32_t>(record.size() - 4);
    std::memcpy(record.data(), &length, 4);
}

}  // namespace

void appendULEB(UnwindBytes& bytes, uint64_t value) {
    do {
        uint8_t byte = value & 0x7f;
        value >>= 7;
        bytes.push_back(value ? byte | 0x80 : byte);
    } while (value);
}

void appendSLEB(UnwindBytes& bytes, int64_t value) {
    bool more = true;
    while (more) {
        uint8_t byte = value & 0x7f;
        value >>= 7;
        more = !((value == 0 && !(byte & 0x40)) || (value == -1 && (byte & 0x40)));
        bytes.push_back(more ? byte | 0x80 : byte);
    }
}

void appendEncoded(UnwindBytes& bytes, uint8_t encoding, uint64_t value, uint64_t address) {
    if ((encoding & 0x70) == 0x10) value -= address;
    switch (encoding & 0x0f) {
        case 0x2: case 0xa: appendFixed(bytes, static_cast<uint16_t>(value)); break;
        case 0x3: case 0xb: appendFixed(bytes, static_cast<uint32_t>(value)); break;
        default: appendFixed(bytes, value); break;
    }
}

int EhFrameBuilder::addCIE(const CIESpec& cie) {
    cies_.push_back(cie);
    return static_cast<int>(cies_.size() - 1);
}

void EhFrameBuilder::addFDE(int cie, uint64_t start, uint64_t range, const UnwindBytes& instructions) {
    fdes_.push_back({cie, start, range, instructions});
}

UnwindBytes EhFrameBuilder::cieBytes(const CIESpec& cie, uint64_t address) const {
    UnwindBytes record(4, 0);
    appendFixed<uint32_t>(record, 0);
    record.push_back(cie.version);
    record.insert(record.end(), cie.augmentation.begin(), cie.augmentation.end());
    record.push_back(0);
    appendULEB(record, cie.codeAlignment);
    appendSLEB(record, cie.dataAlignment);
    if (cie.version == 1) record.push_back(cie.returnAddressRegister);
    else appendULEB(record, cie.returnAddressRegister);
    if (!cie.augmentation.empty() && cie.augmentation[0] == 'z') {
        UnwindBytes data;
        size_t dataStart = record.size() + 1;  // one-byte length below
        for (char letter : cie.augmentation.substr(1)) {
            if (letter == 'R') data.push_back(cie.pointerEncoding);
            if (letter == 'L') data.push_back(cie.lsdaEncoding);
            if (letter == 'P') {
                data.push_back(cie.personalityEncoding);
                appendEncoded(data, cie.personalityEncoding, cie.personality, address + dataStart + data.size());
            }
        }
        appendULEB(record, data.size());
        record.insert(record.end(), data.begin(), data.end());
    }
    record.insert(record.end(), cie.instructions.begin(), cie.instructions.end());
    finishRecord(record);
    return record;
}

UnwindBytes EhFrameBuilder::fdeBytes(const FDE& fde, uint64_t address, uint64_t cieAddress) const {
    const CIESpec& cie = cies_[fde.cie];
    uint8_t encoding = cie.augmentation.find('R') != std::string::npos ? cie.pointerEncoding : 0;
    UnwindBytes record(4, 0);
    appendFixed<uint32_t>(record, static_cast<uint32_t>(address + 4 - cieAddress));
    appendEncoded(record, encoding, fde.start, address + record.size());
    appendEncoded(record, encoding & 0x0f, fde.range, address + record.size());
    if (!cie.augmentation.empty() && cie.augmentation[0] == 'z') {
        UnwindBytes lsda;  // no language-specific data: a null pointer
        if (cie.augmentation.find('L') != std::string::npos) appendEncoded(lsda, cie.lsdaEncoding & 0x0f, 0, 0);
        appendULEB(record, lsda.size());
        record.insert(record.end(), lsda.begin(), lsda.end());
    }
    record.insert(record.end(), fde.instructions.begin(), fde.instructions.end());
    finishRecord(record);
    return record;
}

size_t EhFrameBuilder::size() const { return bytesAt(0x100000).size(); }

UnwindBytes EhFrameBuilder::bytesAt(uint64_t address) const {
    UnwindBytes section;
    std::vector<uint64_t> cieAddresses;
    for (const CIESpec& cie : cies_) {
        cieAddresses.push_back(address + section.size());
        UnwindBytes record = cieBytes(cie, address + section.size());
        section.insert(section.end(), record.begin(), record.end());
    }
    for (const FDE& fde : fdes_) {
        UnwindBytes record = fdeBytes(fde, address + section.size(), cieAddresses[fde.cie]);
        section.insert(section.end(), record.begin(), record.end());
    }
    appendFixed<uint32_t>(section, 0);  // the terminator
    return section;
}

uint64_t EhFrameBuilder::fdeOffset(size_t index) const {
    uint64_t offset = 0;
    for (const CIESpec& cie : cies_) offset += cieBytes(cie, 0x100000 + offset).size();
    for (size_t i = 0; i < index; ++i) offset += fdeBytes(fdes_[i], 0x100000 + offset, 0x100000).size();
    return offset;
}

UnwindBytes EhFrameBuilder::headerAt(uint64_t header, uint64_t ehFrame) const {
    UnwindBytes bytes = {1, 0x1b, 0x03, 0x3b};
    appendEncoded(bytes, 0x1b, ehFrame, header + 4);
    appendFixed<uint32_t>(bytes, static_cast<uint32_t>(fdes_.size()));
    std::vector<std::pair<uint64_t, uint64_t>> table;
    for (size_t i = 0; i < fdes_.size(); ++i) table.emplace_back(fdes_[i].start, ehFrame + fdeOffset(i));
    std::sort(table.begin(), table.end());
    for (auto [start, fde] : table) {
        appendFixed<int32_t>(bytes, static_cast<int32_t>(start - header));
        appendFixed<int32_t>(bytes, static_cast<int32_t>(fde - header));
    }
    return bytes;
}

}  // namespace blackboxtest
