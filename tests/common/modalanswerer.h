#pragma once

// Answers the modal dialogs a command opens: a timer looks for the active
// modal widget and hands each new one to a handler once.

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLineEdit>
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
        : path(std::move(path)),
          button(button)
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
        if (!modal)
            return;
        // A dialog that is still open a while after its answer (it was
        // answered before its own event loop ran) is answered again.
        const bool again = modal == last;
        if (again && answered.elapsed() < 250)
            return;
        last = modal;
        answered.start();
        if (auto *box = qobject_cast<QMessageBox *>(modal)) {
            if (!again)
                messages.append(
                    {box->windowTitle(), box->text(), box->icon(), int(box->buttons().size())});
            QAbstractButton *answer =
                button != QMessageBox::NoButton ? box->button(button) : nullptr;
            if (!answer && box->defaultButton())
                answer = box->defaultButton();
            if (!answer)
                answer = box->buttons().value(0);
            QMetaObject::invokeMethod(answer, &QAbstractButton::click, Qt::QueuedConnection);
        } else if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
            fileDialogs += again ? 0 : 1;
            if (path.isEmpty()) {
                QMetaObject::invokeMethod(dialog, "reject", Qt::QueuedConnection);
            } else {
                // Typed into the name field, as a user would: selectFile()
                // leaves a focused name field alone.
                if (auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit")))
                    name->setText(path);
                QMetaObject::invokeMethod(static_cast<QDialog *>(dialog), &QDialog::accept,
                                          Qt::QueuedConnection);
            }
        }
    }

    QString path;
    QMessageBox::StandardButton button;
    QTimer timer;
    QPointer<QWidget> last;
    QElapsedTimer answered;
};
