#pragma once

#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSize>
#include <QTemporaryDir>

#include <vector>

// A test program's command line with Qt's offscreen platform given one screen of the size
// asked for, as a technician would give -platform: whatever reads the screen before the
// application object (--fit's probe) sees the same screen as the application itself.
class OffscreenScreenArguments
{
public:
    OffscreenScreenArguments(int argc, char **argv, QSize size) : m_arguments(argv, argv + argc)
    {
        const QString config = m_dir.filePath(QStringLiteral("screen.json"));
        QFile file(config);
        const QJsonObject screen{{"name", "test"},
                                 {"x", 0},
                                 {"y", 0},
                                 {"width", size.width()},
                                 {"height", size.height()},
                                 {"logicalDpi", 96},
                                 {"logicalBaseDpi", 96},
                                 {"dpr", 1.0}};
        m_valid =
            m_dir.isValid() && file.open(QIODevice::WriteOnly) &&
            file.write(QJsonDocument(QJsonObject{{"screens", QJsonArray{screen}}}).toJson()) >= 0;
        file.close();
        m_arguments.emplace_back("-platform");
        m_arguments.push_back("offscreen:configfile=" + config.toLocal8Bit());
        for (QByteArray &argument : m_arguments)
            m_pointers.push_back(argument.data());
        m_pointers.push_back(nullptr);
        m_count = int(m_arguments.size());
    }
    OffscreenScreenArguments(const OffscreenScreenArguments &) = delete;
    OffscreenScreenArguments &operator=(const OffscreenScreenArguments &) = delete;

    // False when the screen's description could not be written.
    bool isValid() const { return m_valid; }
    // As main's argc and argv: Qt may take its own options out of them.
    int &count() { return m_count; }
    char **values() { return m_pointers.data(); }

private:
    QTemporaryDir m_dir;
    std::vector<QByteArray> m_arguments;
    std::vector<char *> m_pointers;
    int m_count = 0;
    bool m_valid = false;
};
