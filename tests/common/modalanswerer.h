#pragma once

// Answers the modal dialogs a command opens: a timer looks for the active
// modal widget and hands each new one to a handler once.

#include <QAbstractButton>
#include <QApplication>
#include <QFileDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QPointer>
#include <QTimer>

#include <functional>

struct SeenMessage
{
    QString title;
    QString text;
    QMessageBox::Icon icon;
    int buttons;
};

class ModalAnswerer : public QObject
{
public:
    /// Answers every file dialog with `path` (empty: cancel) and closes every
    /// message box with `button` (NoButton: its default or first button).
    explicit ModalAnswerer(QString path = QString(),
                           QMessageBox::StandardButton button = QMessageBox::NoButton)
        : path(std::move(path)), button(button)
    {
        connect(&timer, &QTimer::timeout, this, &ModalAnswerer::poll);
        timer.start(10);
    }

    QList<SeenMessage> messages;
    int fileDialogs = 0;

private:
    void poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || modal == last)
            return;
        last = modal;
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            messages.append({box->windowTitle(), box->text(), box->icon(),
                             int(box->buttons().size())});
            QAbstractButton *answer =
                button != QMessageBox::NoButton ? box->button(button) : nullptr;
            if (!answer && box->defaultButton())
                answer = box->defaultButton();
            if (!answer)
                answer = box->buttons().value(0);
            QMetaObject::invokeMethod(answer, &QAbstractButton::click, Qt::QueuedConnection);
        } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            ++fileDialogs;
            if (path.isEmpty()) {
                QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
            } else {
                dialog->selectFile(path);
                QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
            }
        }
    }

    QString path;
    QMessageBox::StandardButton button;
    QTimer timer;
    QPointer<QWidget> last;
};
