#include "TLLaunchSettings.h"

#include "kit/TLUserDefaultsKeys.h"

namespace TLLaunchSettings {

namespace {

using foundation::PlistValue;

PlistValue copyTemplate(const char* name, const char* format) {
    PlistValue::Dictionary entry;
    entry[TLUserDefaultsTemplateName] = PlistValue(std::string(name));
    entry[TLUserDefaultsTemplateFormat] = PlistValue(std::string(format));
    return PlistValue(std::move(entry));
}

// Where the window first appears, as "{{x, y}, {width, height}}".
constexpr const char* kFirstWindowFrame = "{{20, 20}, {360, 600}}";

}  // namespace

PlistValue::Array defaultCopyTemplates() {
    return {
        copyTemplate("Plain Text", "{text}"),
        copyTemplate("Source Title", "{title}"),
        copyTemplate("Source URL", "{url}"),
        copyTemplate("Link in HTML", "<a href=\"{url}\">{title}</a>"),
        copyTemplate("Link in Markdown", "[{title}]({url})"),
        copyTemplate("Quote", "\"{text}\"\n\n- {title} ({url})"),
    };
}

void writeFirstRunSettings(foundation::UserDefaults& suite) {
    suite.setInteger(100, TLUserDefaultsClipboardSize);
    suite.setBool(true, TLUserDefaultsInitialized);
    suite.setBool(true, TLUserDefaultsPlaySounds);
    suite.setBool(false, TLUserDefaultsSyncEnabled);
    suite.setBool(true, TLUserDefaultsCaptureClipboard);
    suite.setBool(false, TLUserDefaultsFloatWindow);
    suite.setBool(true, TLUserDefaultsShowsMenuBarIcon);
    suite.setBool(false, TLDefaultRuleOption);  // read as the integer 0: save without a list
    suite.setBool(true, TLUserDefaultsWindowIsDetached);
    suite.setBool(true, TLUserDefaultsHideWindowOnLaunchKey);
    suite.setObject(PlistValue(std::string(kFirstWindowFrame)), TLUserDefaultsWindowFrame);
    suite.setInteger(1, TLUserDefaultsWindowAppearance);
    suite.setInteger(0, TLUserDefaultsDragAction);
    suite.setInteger(1, TLUserDefaultsDoubleClickAction);
    suite.setObject(PlistValue(defaultCopyTemplates()), TLUserDefaultsCopyTemplates);
    suite.synchronize();
}

void fillInSettings(foundation::UserDefaults& suite, bool hideKeyWasPresent) {
    bool changed = false;
    auto absent = [&](const char* key) { return suite.objectForKey(key).isNull(); };
    if (absent(TLUserDefaultsRowHeightKey)) {
        suite.setInteger(8, TLUserDefaultsRowHeightKey);
        changed = true;
    }
    PlistValue older = suite.objectForKey(TLApplicationRulesWhitelistAppsByDefault);
    if (!older.isNull()) {
        // Converted at the first launch that finds it, then removed: a default
        // rule chosen later must survive the next launch.
        suite.setInteger(suite.boolForKey(TLApplicationRulesWhitelistAppsByDefault) ? 0 : 1, TLDefaultRuleOption);
        suite.removeObjectForKey(TLApplicationRulesWhitelistAppsByDefault);
        changed = true;
    }
    if (absent(TLUserDefaultsOptionReturnActionKey)) {
        suite.setInteger(6, TLUserDefaultsOptionReturnActionKey);
        changed = true;
    }
    if (absent(TLUserDefaultsCommandReturnActionKey)) {
        suite.setInteger(8, TLUserDefaultsCommandReturnActionKey);
        changed = true;
    }
    if (!hideKeyWasPresent && absent(TLUserDefaultsHideWindowOnLaunchKey)) {
        suite.setBool(true, TLUserDefaultsHideWindowOnLaunchKey);
        changed = true;
    }
    if (changed) suite.synchronize();
}

}  // namespace TLLaunchSettings
