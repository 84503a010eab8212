// Another program's window that takes drops, for the panel's drag test: it
// shows at the given place, prints "ready" once mapped, then for a drop the
// dropped formats ("format <mime type>" lines) and the text ("text " and the
// text with its newlines as "\n"), and exits.
//
//   drop_window X Y WIDTH HEIGHT
#include <QApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

namespace {

class DropWindow : public QWidget {
public:
    DropWindow() { setAcceptDrops(true); }

protected:
    void showEvent(QShowEvent*) override {
        QTimer::singleShot(0, this, [] {
            std::printf("ready\n");
            std::fflush(stdout);
        });
    }
    void dragEnterEvent(QDragEnterEvent* event) override { event->acceptProposedAction(); }
    void dragMoveEvent(QDragMoveEvent* event) override { event->acceptProposedAction(); }
    void dropEvent(QDropEvent* event) override {
        const QMimeData* data = event->mimeData();
        for (const QString& format : data->formats()) std::printf("format %s\n", qPrintable(format));
        QString text = data->text();
        text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
        std::printf("text %s\n", text.toUtf8().constData());
        std::fflush(stdout);
        event->acceptProposedAction();
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    }
};

}  // namespace

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    if (argc != 5) {
        std::fprintf(stderr, "usage: drop_window X Y WIDTH HEIGHT\n");
        return 2;
    }
    DropWindow window;
    window.setWindowTitle(QStringLiteral("drop target"));
    window.setGeometry(std::atoi(argv[1]), std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
    window.show();
    return application.exec();
}
