#include "Utils.h"

#include <QMouseEvent>
#include <filesystem>

#include "CodePage.h"
#include "FileSystem.h"
#include "ProductInfo.h"
#include "SysUtils.h"
#include "UiServices.h"

QString FromAnsi(const std::string& s) {
  const std::string utf8 = AnsiToUtf8(s);
  return QString::fromUtf8(utf8.data(), qsizetype(utf8.size()));
}

std::string ToAnsi(const QString& s) {
  const QByteArray utf8 = s.toUtf8();
  return Utf8ToAnsi(std::string(utf8.constData(), size_t(utf8.size())));
}

const char* const SupportMailSubject = "Varnowe: support needed";

std::string MailToLink(const std::string& address, const std::string& subject) {
  return "mailto:" + address + "?subject=" + StringReplaceAll(subject, " ", "%20");
}

void OpenProductHomepage() { Ui().OpenURL(ProductWebAddress); }
void OpenCompanyHomepage() { Ui().OpenURL(CompanyWebAddress); }
void SendSupportMail() { Ui().OpenURL(MailToLink(SupportAddress, SupportMailSubject)); }

void OpenHelpContents() {
  for (const char* relative : {"../share/doc/varnowe/README.md", "../../README.md"}) {
    std::error_code ec;
    const std::filesystem::path readme = std::filesystem::weakly_canonical(ProgramDir() + relative, ec);
    if (!ec && std::filesystem::is_regular_file(readme, ec)) {
      Ui().OpenURL("file://" + readme.string());
      return;
    }
  }
  Ui().OpenURL("man:varnowe(1)");
}

TLinkLabel::TLinkLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
  QFont f = font();
  f.setUnderline(true);
  setFont(f);
  QPalette pal = palette();
  pal.setColor(QPalette::WindowText, QColor(0, 0, 204));
  setPalette(pal);
  setCursor(Qt::PointingHandCursor);
}

void TLinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()) && OnClick) {
    OnClick();
    return;
  }
  QLabel::mouseReleaseEvent(event);
}
