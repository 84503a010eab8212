#pragma once
// Builds .eh_frame and .eh_frame_hdr bytes for the unwinder's tests: CIEs with
// a chosen augmentation ("zR", "zPLR", "zRS", "" or a refused one), FDEs with
// chosen instructions, and the sorted search table over them. Encoded
// addresses depend on where the bytes will lie, so the caller lays them out
// at a known address (writeTo).

#include <cstdint>
#include <string>
#include <vector>

namespace blackboxtest {

using UnwindBytes = std::vector<uint8_t>;

struct CIESpec {
    std::string augmentation = "zR";
    uint64_t codeAlignment = 1;
    int64_t dataAlignment = -8;
    uint8_t returnAddressRegister = 16;
    uint8_t version = 1;
    uint8_t pointerEncoding = 0x1b;  // pc-relative signed 32-bit
    uint8_t lsdaEncoding = 0x1b;
    uint8_t personalityEncoding = 0x00;  // absolute 64-bit
    uint64_t personality = 0;
    // The usual x86-64 start: CFA = rsp + 8, return address at CFA - 8.
    UnwindBytes instructions = {0x0c, 0x07, 0x08, 0x90, 0x01};
};

class EhFrameBuilder {
public:
    // Index of the new CIE.
    int addCIE(const CIESpec& cie);
    // An FDE of the CIE for [start, start + range).
    void addFDE(int cie, uint64_t start, uint64_t range, const UnwindBytes& instructions);

    // Bytes of the .eh_frame section and its size; the offset of each FDE
    // from the section start (in the order they were added).
    size_t size() const;
    UnwindBytes bytesAt(uint64_t address) const;
    uint64_t fdeOffset(size_t index) const;
    // The .eh_frame_hdr for the section at ehFrame, itself at header: version
    // 1, section pointer pc-relative, count udata4, table datarel sdata4.
    size_t headerSize() const { return 12 + 8 * fdes_.size(); }
    UnwindBytes headerAt(uint64_t header, uint64_t ehFrame) const;

private:
    struct FDE {
        int cie;
        uint64_t start;
        uint64_t range;
        UnwindBytes instructions;
    };
    UnwindBytes cieBytes(const CIESpec& cie, uint64_t address) const;
    UnwindBytes fdeBytes(const FDE& fde, uint64_t address, uint64_t cieAddress) const;
    std::vector<CIESpec> cies_;
    std::vector<FDE> fdes_;
};

void appendULEB(UnwindBytes& bytes, uint64_t value);
void appendSLEB(UnwindBytes& bytes, int64_t value);
// value in the format of encoding's low four bits (fixed sizes only), at address.
void appendEncoded(UnwindBytes& bytes, uint8_t encoding, uint64_t value, uint64_t address);

}  // namespace blackboxtest
