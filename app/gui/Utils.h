#pragma once
// Small helpers of the window: text between the program's 8-bit strings and
// Qt, the support mail link, and the links the window and About box open.
#include <QLabel>
#include <QString>
#include <functional>
#include <string>

// The program's 8-bit text is in the system code page; Qt wants Unicode.
QString FromAnsi(const std::string& s);
std::string ToAnsi(const QString& s);

// "Varnowe: support needed"
extern const char* const SupportMailSubject;
// mailto:<address>?subject=<subject>, every blank written as %20.
std::string MailToLink(const std::string& address, const std::string& subject);

// Through Ui().OpenURL, so tests see what would be opened.
void OpenProductHomepage();
void OpenCompanyHomepage();
void SendSupportMail();
// The README installed with the program (or the source tree's, for a build
// run in place), else the manual page varnowe(1).
void OpenHelpContents();

// A label that looks and acts like a link: underlined, hand cursor, OnClick
// on a left click released over it.
class TLinkLabel : public QLabel {
 public:
  explicit TLinkLabel(const QString& text, QWidget* parent = nullptr);
  std::function<void()> OnClick;

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};
