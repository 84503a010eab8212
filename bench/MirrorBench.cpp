// Settings from other devices taken into the settings suite: a change of 1,000
// keys of which only two are shared settings, and one of a 500 KB template
// list, each mirrored and written to the settings file. And the template
// editor's restyle after one keystroke in a 20,000-character format, beside a
// QSyntaxHighlighter highlighting the same text again from the start.
// Runs on Qt's offscreen platform, in a temporary home.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QSyntaxHighlighter>
#include <QTextDocument>
#include <QTextEdit>

#include <cstdlib>
#include <filesystem>
#include <memory>

#include "ViewController/TLTemplateEditorViewController.h"
#include "kit/TLMirroredSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/cloud/MemoryKeyValueStore.h"
#include "platform/foundation/UserDefaults.h"

namespace {

using foundation::PlistValue;
using Store = cloud::UbiquitousKeyValueStore;

std::shared_ptr<cloud::MemoryKeyValueStore> store() {
    static auto instance = [] {
        auto created = std::make_shared<cloud::MemoryKeyValueStore>();
        Store::setDefaultStore(created);
        foundation::UserDefaults::applicationGroup()->setBool(true, TLUserDefaultsSyncEnabled);
        return created;
    }();
    return instance;
}

foundation::Notification change(std::vector<std::string> keys) {
    foundation::Notification notification{Store::kDidChangeExternallyNotification, store().get(), {}, {}};
    notification.userInfo[Store::kChangeReasonKey] = int64_t(Store::kServerChange);
    notification.userInfo[Store::kChangedKeysKey] = std::move(keys);
    return notification;
}

void BM_InboundThousandKeys(benchmark::State& state) {
    auto kv = store();
    std::vector<std::string> keys;
    for (int i = 0; i < 998; ++i) {
        keys.push_back("OtherDevicesKey" + std::to_string(i));
        kv->setObject(PlistValue(int64_t(i)), keys.back());
    }
    keys.push_back(TLUserDefaultsClipboardSize);
    keys.push_back(TLUserDefaultsRecentSearches);
    kv->setObject(PlistValue(std::vector<std::string>{"one", "two"}), TLUserDefaultsRecentSearches);
    auto notification = change(keys);
    int64_t limit = 100;
    for (auto _ : state) {
        kv->setObject(PlistValue(++limit), TLUserDefaultsClipboardSize);
        auto taken = TLMirroredSettings::applyStoreChange(notification);
        if (taken.size() != 2) state.SkipWithError("the two shared keys were not taken");
    }
}
BENCHMARK(BM_InboundThousandKeys)->Unit(benchmark::kMillisecond);

void BM_InboundTemplates500KB(benchmark::State& state) {
    auto kv = store();
    PlistValue lists[2];
    for (int which = 0; which < 2; ++which) {
        PlistValue::Array templates;
        for (int i = 0; i < 500; ++i)
            templates.push_back(PlistValue(PlistValue::Dictionary{
                {TLUserDefaultsTemplateName, PlistValue("Template " + std::to_string(i))},
                {TLUserDefaultsTemplateFormat, PlistValue(std::string(1000, char('a' + which)) + "{text}")}}));
        lists[which] = PlistValue(std::move(templates));
    }
    auto notification = change({TLUserDefaultsCopyTemplates});
    int round = 0;
    for (auto _ : state) {
        kv->setObject(lists[++round % 2], TLUserDefaultsCopyTemplates);
        if (TLMirroredSettings::applyStoreChange(notification).size() != 1) state.SkipWithError("not taken");
    }
    state.counters["bytes"] = double(cloud::MemoryKeyValueStore::byteSize(lists[0]));
}
BENCHMARK(BM_InboundTemplates500KB)->Unit(benchmark::kMillisecond);

// 20,000 characters in lines of 80, a token in every line.
QString longFormat() {
    QString text;
    const char* tokens[] = {"{title}", "{text}", "{url}"};
    for (int line = 0; text.size() < 20000; ++line) {
        QString row = QStringLiteral("line %1 ").arg(line) + QString::fromLatin1(tokens[line % 3]);
        row += QString(79 - row.size(), QChar(u'x'));
        text += row + QChar(u'\n');
    }
    text.truncate(20000);
    return text;
}

void BM_EditorRestyleAfterKeystroke(benchmark::State& state) {
    TLTemplateEditorViewController editor(-1);
    editor.textView()->setPlainText(longFormat());
    QTextCursor cursor = editor.textView()->textCursor();
    cursor.setPosition(10000);
    editor.textView()->setTextCursor(cursor);
    bool insert = true;
    for (auto _ : state) {
        // One keystroke: a "}" typed, or taken back.
        QTextCursor at = editor.textView()->textCursor();
        if (insert) at.insertText(QStringLiteral("}"));
        else at.deletePreviousChar();
        insert = !insert;
    }
    benchmark::DoNotOptimize(editor.tokenRanges().size());
}
BENCHMARK(BM_EditorRestyleAfterKeystroke)->Unit(benchmark::kMicrosecond);

class PlainTokenHighlighter final : public QSyntaxHighlighter {
public:
    using QSyntaxHighlighter::QSyntaxHighlighter;

protected:
    void highlightBlock(const QString& text) override {
        QTextCharFormat format;
        format.setForeground(QColor(0, 122, 255));
        format.setFontWeight(QFont::Bold);
        for (const char* token : {"{title}", "{text}", "{url}"}) {
            const QString needle = QString::fromLatin1(token);
            for (qsizetype at = text.indexOf(needle); at >= 0; at = text.indexOf(needle, at + needle.size()))
                setFormat(int(at), int(needle.size()), format);
        }
    }
};

void BM_SyntaxHighlighterRehighlight(benchmark::State& state) {
    QTextEdit view;
    view.setPlainText(longFormat());
    PlainTokenHighlighter highlighter(view.document());
    for (auto _ : state) highlighter.rehighlight();
}
BENCHMARK(BM_SyntaxHighlighterRehighlight)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    auto home = std::filesystem::temp_directory_path() / ("tavlo-mirror-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::filesystem::remove_all(home);
    return 0;
}
