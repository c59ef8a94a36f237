// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <stdexcept>
#include <utility>

class QWidget;

// An input error raised by a handler and shown in the standard error box.
class EInputError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The message as the error box shows it: a full stop is appended when the
// last character sorts above it.
QString ExceptionMessageText(const QString &message);

// The message for an error that carries none.
QString UnknownErrorText();

// The standard error box: the application title as caption, error icon, OK.
void ShowException(const QString &message);

// Runs a handler body so that an error escaping it is shown, not fatal.
// Handlers use it rather than letting exceptions unwind through Qt.
template <typename Body>
void RunHandler(Body &&body)
{
    try {
        std::forward<Body>(body)();
    } catch (const std::exception &e) {
        ShowException(QString::fromUtf8(e.what()));
    } catch (...) {
        ShowException(UnknownErrorText());
    }
}
