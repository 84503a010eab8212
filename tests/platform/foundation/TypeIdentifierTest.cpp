#include <gtest/gtest.h>

#include "platform/foundation/TypeIdentifier.h"

using namespace foundation;

TEST(TypeIdentifierTest, Conformance) {
    struct Row {
        const char* type;
        const char* parent;
        bool conforms;
    };
    const Row rows[] = {
        {kUTTypeUTF8PlainText, kUTTypePlainText, true},
        {kUTTypeUTF8PlainText, kUTTypeText, true},
        {kUTTypeUTF8PlainText, kUTTypeData, true},
        {"PUBLIC.UTF8-PLAIN-TEXT", kUTTypeText, true},
        {kUTTypePlainText, kUTTypeUTF8PlainText, false},
        {kUTTypeRTF, kUTTypePlainText, false},
        {kUTTypeRTF, kUTTypeText, true},
        {kUTTypePNG, kUTTypeImage, true},
        {kUTTypeGIF, kUTTypeImage, true},
        {kUTTypeFileURL, kUTTypeURL, true},
        {kUTTypeURL, kUTTypeFileURL, false},
        {kUTTypeURLName, kUTTypePlainText, true},
        {kUTTypeImage, kUTTypeText, false},
        {"com.tavlo.clipping-metadata", "com.tavlo.clipping-metadata", true},
        {"com.example.unknown", kUTTypeData, false},
        {"", "", false},
    };
    for (const Row& r : rows) EXPECT_EQ(TypeIdentifier::conformsTo(r.type, r.parent), r.conforms) << r.type << " -> " << r.parent;
}

TEST(TypeIdentifierTest, MIMETypesRoundTrip) {
    struct Row {
        const char* type;
        const char* mime;
    };
    const Row rows[] = {
        {kUTTypeUTF8PlainText, "text/plain;charset=utf-8"},
        {kUTTypePlainText, "text/plain"},
        {kUTTypeHTML, "text/html"},
        {kUTTypeRTF, "text/rtf"},
        {kUTTypePNG, "image/png"},
        {kUTTypeJPEG, "image/jpeg"},
        {kUTTypeTIFF, "image/tiff"},
        {kUTTypeGIF, "image/gif"},
        {kUTTypeBMP, "image/bmp"},
        {kUTTypeICO, "image/vnd.microsoft.icon"},
        {kUTTypeFileURL, "text/uri-list"},
        {kUTTypeURL, "text/x-moz-url"},
        {kConcealedType, "x-kde-passwordManagerHint"},
        {"com.tavlo.clipping-metadata", "application/x-tavlo-clipping-metadata"},
        {"com.example.Private", "application/x-uti-com.example.Private"},
        {"dyn.mime.application/x-thing", "application/x-thing"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.type);
        EXPECT_EQ(TypeIdentifier::preferredMIMEType(r.type), r.mime);
        EXPECT_EQ(TypeIdentifier::typeForMIMEType(r.mime), r.type);
    }
    EXPECT_EQ(TypeIdentifier::typeForMIMEType("text/plain; charset=UTF-8"), kUTTypeUTF8PlainText);
    EXPECT_EQ(TypeIdentifier::typeForMIMEType("UTF8_STRING"), kUTTypeUTF8PlainText);
    EXPECT_EQ(TypeIdentifier::typeForMIMEType("text/plain;charset=iso-8859-1"), kUTTypePlainText);
    EXPECT_EQ(TypeIdentifier::typeForMIMEType("text/html; charset=utf-8"), kUTTypeHTML);
    EXPECT_EQ(TypeIdentifier::typeForMIMEType("image/x-icon"), kUTTypeICO);
    EXPECT_EQ(TypeIdentifier::typeForURIListEntry("file:///home/a.png"), kUTTypeFileURL);
    EXPECT_EQ(TypeIdentifier::typeForURIListEntry("https://a.org"), kUTTypeURL);
}

TEST(TypeIdentifierTest, ConcealedMarkerAndExtensions) {
    EXPECT_TRUE(TypeIdentifier::isConcealedMarker("x-kde-passwordManagerHint", "secret"));
    EXPECT_TRUE(TypeIdentifier::isConcealedMarker("x-kde-passwordManagerHint", "secret\n"));
    EXPECT_FALSE(TypeIdentifier::isConcealedMarker("x-kde-passwordManagerHint", "public"));
    EXPECT_TRUE(TypeIdentifier::isConcealedMarker(kConcealedType, ""));
    EXPECT_FALSE(TypeIdentifier::isConcealedMarker("text/plain", "secret"));

    EXPECT_EQ(TypeIdentifier::preferredFilenameExtension(kUTTypePNG), "png");
    EXPECT_EQ(TypeIdentifier::preferredFilenameExtension(kUTTypeJPEG), "jpeg");
    EXPECT_EQ(TypeIdentifier::preferredFilenameExtension(kUTTypeUTF8PlainText), "");
    EXPECT_EQ(TypeIdentifier::typeForFilenameExtension("JPG"), kUTTypeJPEG);
    EXPECT_EQ(TypeIdentifier::typeForFilenameExtension(".tif"), kUTTypeTIFF);
    EXPECT_EQ(TypeIdentifier::typeForFilenameExtension("xyz"), "");
}
