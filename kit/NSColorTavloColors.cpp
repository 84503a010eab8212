#include "NSColorTavloColors.h"

#include "TavloKit.h"

namespace NSColorTavloColors {

namespace {

QColor white(double level, double alpha = 1.0) {
    return QColor::fromRgbF(static_cast<float>(level), static_cast<float>(level), static_cast<float>(level),
                            static_cast<float>(alpha));
}

QColor rgb(double red, double green, double blue, double alpha = 1.0) {
    return QColor::fromRgbF(static_cast<float>(red), static_cast<float>(green), static_cast<float>(blue),
                            static_cast<float>(alpha));
}

QColor byMode(const QColor& dark, const QColor& light) {
    return TavloKit::isDarkMode() ? dark : light;
}

}  // namespace

QColor appTintColorWithAlpha(double alpha) {
    return rgb(0.14, 0.72, 0.72, alpha);
}

QColor appTintColor() {
    return appTintColorWithAlpha(1);
}

QColor tableViewBackgroundColor() {
    return byMode(white(0.15), white(0.95));
}

QColor tableViewCellBackgroundColor() {
    return byMode(white(0.175), white(1.0));
}

QColor tableViewCellSelectedBackgroundColor() {
    return byMode(white(0.25), white(0.925));
}

QColor tableViewSeparatorColor() {
    return byMode(white(0.3), white(0.85));
}

QColor tableViewTextLabelColor() {
    return byMode(white(1.0), white(0.15));
}

QColor tableViewDetailTextLabelColor() {
    return white(0.5);
}

QColor darkActiveHeaderColor() {
    return white(0.175);
}

QColor darkInactiveHeaderColor() {
    return darkClippingsViewBackgroundColor();
}

QColor darkClippingsViewBackgroundColor() {
    return white(0.2);
}

QColor lightActiveHeaderColor() {
    return white(0.95);
}

QColor lightInactiveHeaderColor() {
    return lightClippingsViewBackgroundColor();
}

QColor lightClippingsViewBackgroundColor() {
    return white(1.0);
}

QColor tlGrayColor() {
    return white(0.825);
}

QColor tlDarkGrayColor() {
    return rgb(0.2, 0.29, 0.36);
}

QColor tlBlueColor() {
    return byMode(rgb(0, 0.75, 1), rgb(30 / 255.0, 139 / 255.0, 205 / 255.0));
}

QColor tlDarkBlueColor() {
    return rgb(44 / 255.0, 62 / 255.0, 80 / 255.0, 0.8);
}

QColor tlRedColor() {
    return rgb(0.84, 0.23, 0.21);
}

QColor tlGreenColor() {
    return rgb(0.64, 0.82, 0.3);
}

QColor tlLightGreenColor() {
    return rgb(46 / 255.0, 204 / 255.0, 113 / 255.0);
}

QColor tlBlackColor() {
    return rgb(0.07, 0.08, 0.09);
}

}  // namespace NSColorTavloColors
