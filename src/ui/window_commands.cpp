#include "window_commands.h"

#include <QShortcut>

namespace vorlund {

namespace {

struct Command {
    QString name;
    QList<QKeySequence> keys;
};

const QList<Command>& commands() {
    // Ctrl+Q whatever the platform's own scheme says: some have no key for quitting.
    static const QList<Command> table{
        {QStringLiteral("send"),
         {QKeySequence(QStringLiteral("Ctrl+Return")), QKeySequence(QStringLiteral("Ctrl+Enter"))}},
        {QStringLiteral("newWindow"), QKeySequence::keyBindings(QKeySequence::New)},
        {QStringLiteral("closeWindow"), QKeySequence::keyBindings(QKeySequence::Close)},
        {QStringLiteral("quit"), {QKeySequence(QStringLiteral("Ctrl+Q"))}},
    };
    return table;
}

} // namespace

void WindowCommands::setWindow(QWindow* window) {
    if (window_ == window)
        return;
    window_ = window;
    for (const Command& command : commands())
        for (const QKeySequence& key : command.keys)
            connect(new QShortcut(key, window), &QShortcut::activated, this,
                    [this, name = command.name] { emit triggered(name); });
    emit windowChanged();
}

QString WindowCommands::commandFor(int key, int modifiers) {
    // Enter on the keypad comes with the keypad modifier, which the table leaves out.
    const QKeySequence pressed(
        QKeyCombination(Qt::KeyboardModifiers(modifiers & ~Qt::KeypadModifier), Qt::Key(key)));
    for (const Command& command : commands())
        if (command.keys.contains(pressed))
            return command.name;
    return {};
}

bool WindowCommands::handleKey(int key, int modifiers) {
    const QString command = commandFor(key, modifiers);
    if (!command.isEmpty())
        emit triggered(command);
    return !command.isEmpty();
}

} // namespace vorlund
