#pragma once
// The application's palette. Colours that differ between the light and the dark
// appearance ask TavloKit::isDarkMode() on every call, so a change of the
// setting shows at the next drawing. Any thread (QColor is a plain value).

#include <QColor>

namespace NSColorTavloColors {

QColor appTintColorWithAlpha(double alpha);
QColor appTintColor();
QColor tableViewBackgroundColor();
QColor tableViewCellBackgroundColor();
QColor tableViewCellSelectedBackgroundColor();
QColor tableViewSeparatorColor();
QColor tableViewTextLabelColor();
QColor tableViewDetailTextLabelColor();
QColor darkActiveHeaderColor();
QColor darkInactiveHeaderColor();
QColor darkClippingsViewBackgroundColor();
QColor lightActiveHeaderColor();
QColor lightInactiveHeaderColor();
QColor lightClippingsViewBackgroundColor();
QColor tlGrayColor();
QColor tlDarkGrayColor();
QColor tlBlueColor();
QColor tlDarkBlueColor();
QColor tlRedColor();
QColor tlGreenColor();
QColor tlLightGreenColor();
QColor tlBlackColor();

}  // namespace NSColorTavloColors
