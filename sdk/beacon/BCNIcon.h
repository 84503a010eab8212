#pragma once
// The application's icon as the kit service is told of it: PNG bytes, their
// SHA-1, and the size in points (one point per pixel here). A plain value;
// any thread.

#include <memory>
#include <string>

#include "platform/foundation/Data.h"

class BCNIcon {
public:
    static constexpr double kMaxSurfaceArea = 1024.0 * 1024.0;

    // PNG bytes, prerendered, hash computed.
    BCNIcon(foundation::Data data, double width, double height, bool prerendered = true);
    BCNIcon(foundation::Data data, std::string dataHash, double width, double height, bool prerendered);

    // The icon a PNG file's bytes make, sized from its header; null when the
    // bytes are no PNG (signature and a whole IHDR chunk) or a side is zero.
    static std::shared_ptr<const BCNIcon> fromPNGData(foundation::Data data);

    const foundation::Data& data() const { return data_; }
    // 40 lower-case hex digits.
    const std::string& dataHash() const { return dataHash_; }
    double width() const { return width_; }
    double height() const { return height_; }
    bool prerendered() const { return prerendered_; }

    double surfaceArea() const { return width_ * height_; }
    bool isWithinMaxSurfaceArea() const { return surfaceArea() <= kMaxSurfaceArea; }
    bool largerThanSize(double width, double height) const { return surfaceArea() > width * height; }

private:
    foundation::Data data_;
    std::string dataHash_;
    double width_ = 0;
    double height_ = 0;
    bool prerendered_ = true;
};
