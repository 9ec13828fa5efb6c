#include "MainBasic.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStackedWidget>
#include <QStandardPaths>
#include <QStyledItemDelegate>
#include <QVBoxLayout>
#include <algorithm>
#include <filesystem>

#include "About.h"
#include "Exception.h"
#include "FileSystem.h"
#include "IniFile.h"
#include "JobSettingsFile.h"
#include "Pictures.h"
#include "ProductInfo.h"
#include "SysUtils.h"
#include "UiServices.h"
#include "Utils.h"

namespace {

struct TPageText {
  const char* Caption;
  const char* Description;
};

const TPageText PageTexts[TfrmMainBasic::PageCount] = {
    {"General information",
     "This wizard allows you to specify details on how you would like to convert files."},
    {"Source",
     "Please select the source directory and mark the file format(s) of the data you would like to convert."},
    {"Destination",
     "Please select the destination directory and mark the file format(s) of the data you would like to create"},
    {"Options", "Define additional options for the destination format."},
    {"File list", "Select the files that contain the data you would like to convert."},
    {"Summary",
     "We've gathered all the information the wizard needs to convert your files. Please click Execute to "
     "begin the conversion."},
};

const char* const GeneralInfoText =
    "Using this wizard you may convert the thousands of files in a few mouse clicks.\n"
    "You may execute this task at once or on a regular basis.\n"
    " \n"
    "Navigate through the wizard's steps and click the Execute button, or start it with a folder or files as "
    "command-line arguments, to convert files.";

const char* const NotCompletedQuestion =
    "The wizard has not completed. If you quit the wizard now, the conversion will not complete. Do you "
    "want to quit the application?";

const char* const FolderBrowserTitle = "Select the folder";
const char* const MsgNoSourceFolder = "Please enter the source directory.";
const char* const MsgSourceFolderMissing =
    "The source directory \"%s\" does not exist. Please choose an existing directory.";
const char* const MsgLogIncomplete = "The list of processed files could not be written completely to \"%s\": %s";
const char* const LogFileFilter = "Log files (*.log)|*.log|All files (*.*)|*.*";
const char* const ExportSpecFilter = "Export settings (*.spec)|*.spec|All files (*.*)|*.*";
const char* const MsgBadSeparator =
    "The separator \"%s\" cannot be used: choose one from the list or type one character other than a double "
    "quote.";
const char* const MsgBadNameTemplate = "The file name template \"%s\" cannot be used: %s.";
const char* const CleanDataHint =
    "No banner, no extra row or column, quotes only where needed, UTF-8, ISO 8601 dates";

// Items of the Options page's lists, in the order of their enumerations.
struct TSeparatorItem {
  const char* Text;
  const char* Separator;
};
const TSeparatorItem SeparatorItems[] = {
    {"Comma ( , )", ","}, {"Semicolon ( ; )", ";"}, {"Tab", "\t"}, {"Space", " "}, {"Pipe ( | )", "|"}};
const char* const QuotingItems[] = {"All fields", "Only where needed"};
const char* const LineEndItems[] = {"CR LF (Windows)", "LF (Unix)"};
const char* const EncodingItems[] = {"System code page", "UTF-8", "UTF-8 with BOM", "UTF-16 LE with BOM"};
const char* const SheetItems[] = {"All sheets", "First sheet only", "Names matching:"};
const char* const PaperItems[] = {"Letter", "A4", "Legal", "A3"};
const char* const OrientationItems[] = {"Portrait", "Landscape", "Automatic"};
const char* const FitWidthItem = "Fit to width";
const char* const ValuesItems[] = {"By format", "As stored", "As displayed", "For data tools"};
enum { niAsAlways, niSheetName, niTemplate };  // items of cbNames

// The lists may be narrower than their longest item (the window keeps its
// least width); the open list shows every item whole.
QComboBox* MakeCombo(const char* name, QWidget* parent) {
  auto* c = new QComboBox(parent);
  c->setObjectName(QString::fromLatin1(name));
  c->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  c->setMinimumContentsLength(12);
  return c;
}

template <size_t N>
QComboBox* MakeList(const char* name, QWidget* parent, const char* const (&items)[N]) {
  QComboBox* c = MakeCombo(name, parent);
  for (const char* item : items) c->addItem(QString::fromUtf8(item));
  return c;
}

QLabel* MakeLabel(const char* name, const char* text, QWidget* parent, QWidget* buddy) {
  auto* l = new QLabel(QString::fromUtf8(text), parent);
  l->setObjectName(QString::fromLatin1(name));
  l->setBuddy(buddy);
  return l;
}

constexpr int HeaderHeight = 72;
constexpr int HeaderPictureWidth = 170;
constexpr int DescriptionPictureOffset = 86;  // from the background picture's left edge
constexpr int DescriptionPictureSize = 48;
constexpr int LogoStripWidth = 28;
// Header texts: they end 10 pixels before the description picture.
constexpr int TextRightMargin = HeaderPictureWidth - DescriptionPictureOffset + 10;
constexpr int DescriptionLeft = 30;
constexpr int CaptionTop = 8;

// The white header; its pictures follow the right edge when it is resized.
class THeaderPanel : public QFrame {
 public:
  explicit THeaderPanel(QWidget* parent) : QFrame(parent) {}
  QLabel* Caption = nullptr;
  QLabel* Description = nullptr;
  QLabel* Background = nullptr;
  QLabel* Picture = nullptr;

  // 72 pixels, or what the caption and the longest page description need
  // at the narrowest width with a larger font.
  int NeededHeight() const {
    const int descriptionWidth = TfrmMainBasic::ClientWidth - TextRightMargin - DescriptionLeft;
    int description = 0;
    for (const TPageText& page : PageTexts)
      description = std::max(description, Description->fontMetrics()
                                              .boundingRect(QRect(0, 0, descriptionWidth, 10000),
                                                            Qt::TextWordWrap, QString::fromUtf8(page.Description))
                                              .height());
    return std::max(HeaderHeight, CaptionTop + Caption->sizeHint().height() + 3 + description + 4);
  }

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QFrame::resizeEvent(event);
    const int w = width(), h = height();
    if (Background->height() != h)
      Background->setPixmap(QPixmap::fromImage(HeaderBackgroundPicture(HeaderPictureWidth, h)));
    Background->setGeometry(w - HeaderPictureWidth, 0, HeaderPictureWidth, h);
    Picture->setGeometry(Background->x() + DescriptionPictureOffset, (h - DescriptionPictureSize) / 2,
                         DescriptionPictureSize, DescriptionPictureSize);
    // The texts end before the picture so nothing overlaps.
    const int textRight = w - TextRightMargin;
    Caption->setGeometry(16, CaptionTop, textRight - 16, Caption->sizeHint().height());
    const int descTop = Caption->y() + Caption->height() + 3;
    Description->setGeometry(DescriptionLeft, descTop, textRight - DescriptionLeft, h - descTop - 4);
  }
};

QPushButton* MakeButton(const char* name, const QString& text, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setAutoDefault(false);
  b->setMinimumWidth(std::max(80, b->sizeHint().width()));
  return b;
}

// "<<" and ">>" sit close to Back and Next, as narrow as their captions allow.
QPushButton* MakeNarrowButton(const char* name, const QString& text, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setAutoDefault(false);
  b->setFixedWidth(std::max(36, b->fontMetrics().horizontalAdvance(text) + 20));
  return b;
}

QPushButton* MakeBrowseButton(const char* name, QWidget* parent, QLineEdit* edit) {
  auto* b = new QPushButton(QStringLiteral("..."), parent);
  b->setObjectName(QString::fromLatin1(name));
  b->setAutoDefault(false);
  const int h = edit->sizeHint().height();
  b->setFixedSize(std::max(28, h), h);
  return b;
}

QLineEdit* MakeEdit(const char* name, QWidget* parent) {
  auto* e = new QLineEdit(parent);
  e->setObjectName(QString::fromLatin1(name));
  return e;
}

QCheckBox* MakeCheck(const char* name, const char* text, QWidget* parent) {
  auto* c = new QCheckBox(QString::fromUtf8(text), parent);
  c->setObjectName(QString::fromLatin1(name));
  return c;
}

// The folder a first start offers: the documents folder when there is one,
// else home. (The program's own folder is read-only once installed.)
QString DefaultWorkFolder() {
  QString dir = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (dir.isEmpty() || !QFileInfo(dir).isDir()) dir = QDir::homePath();
  if (!dir.endsWith(u'/')) dir += u'/';
  return dir;
}

// path shown relative to base ("." for base itself); a path elsewhere stays whole.
QString RelativePath(const std::string& path, std::string base) {
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  if (!base.empty() && path.compare(0, base.size(), base) == 0) {
    size_t rest = base.size();
    if (rest == path.size()) return QStringLiteral(".");
    if (path[rest] == '/' || base == "/") {
      while (rest < path.size() && path[rest] == '/') ++rest;
      return rest == path.size() ? QStringLiteral(".") : FromAnsi(path.substr(rest));
    }
  }
  return FromAnsi(path);
}

// The status column shows the start of a long error message, where it says what went wrong.
class TElideRightDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;

 protected:
  void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
    QStyledItemDelegate::initStyleOption(option, index);
    option->textElideMode = Qt::ElideRight;
  }
};

QHBoxLayout* EditRow(QLineEdit* edit, QPushButton* button) {
  auto* row = new QHBoxLayout;
  row->setSpacing(4);
  row->addWidget(edit, 1);
  row->addWidget(button);
  return row;
}

}  // namespace

// ---------------------------------------------------------------- TRadioGroup

TRadioGroup::TRadioGroup(const QString& caption, QWidget* parent) : QGroupBox(caption, parent) {
  FLayout = new QVBoxLayout(this);
  FLayout->setSpacing(4);
  FGroup = new QButtonGroup(this);
  FGroup->setExclusive(true);
}

void TRadioGroup::SetItems(const QStringList& items) {
  for (QAbstractButton* b : FGroup->buttons()) {
    FGroup->removeButton(b);
    delete b;
  }
  for (int i = 0; i < items.size(); ++i) {
    auto* b = new QRadioButton(items[i], this);
    FGroup->addButton(b, i);
    FLayout->addWidget(b);
  }
}

int TRadioGroup::Count() const { return int(FGroup->buttons().size()); }

QString TRadioGroup::Item(int index) const {
  const QRadioButton* b = Button(index);
  return b ? b->text() : QString();
}

int TRadioGroup::ItemIndex() const { return FGroup->checkedId(); }

void TRadioGroup::SetItemIndex(int index) {
  if (index >= Count()) index = Count() - 1;
  if (index < 0) {
    // An exclusive group keeps one button checked; lift that for a moment.
    if (QAbstractButton* b = FGroup->checkedButton()) {
      FGroup->setExclusive(false);
      b->setChecked(false);
      FGroup->setExclusive(true);
    }
    return;
  }
  Button(index)->setChecked(true);
}

QRadioButton* TRadioGroup::Button(int index) const {
  return qobject_cast<QRadioButton*>(FGroup->button(index));
}

// ----------------------------------------------------------------- TLogoStrip

TLogoStrip::TLogoStrip(QWidget* parent) : QWidget(parent) {}

void TLogoStrip::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::TextAntialiasing);
  PaintLogoStrip(p, rect(), QStringLiteral(" ") + QString::fromUtf8(ProductName).toUpper());
}

// --------------------------------------------------------------- the driver

// The batch core with its hooks routed to the window's virtual hooks.
class TfrmMainBasic::TWindowDriver : public TBatchDriver {
 public:
  explicit TWindowDriver(TfrmMainBasic& window) : FWindow(window) {}
  bool IsFileAccepted(const std::string& name) override { return FWindow.IsFileAccepted(name); }
  std::string GetDestinationExt() override { return FWindow.GetDestinationExt(); }
  void CreateConverters() override { FWindow.CreateConverters(); }
  void FreeConverters() override { FWindow.FreeConverters(); }
  void ConvertFile(const std::string& sourcePath, const std::string& destinationPath) override {
    FWindow.ConvertFile(sourcePath, destinationPath);
  }
  // After files were converted the message says where they went, and offers
  // to open that folder.
  void ShowClosingMessage(TRunOutcome outcome, const std::string& text) override {
    if (outcome != TRunOutcome::roFinished || CountWorkItems(WorkItems()).Converted == 0)
      return TBatchDriver::ShowClosingMessage(outcome, text);
    const std::string folder = Settings.edDestinationName;
    if (Ui().MessageBox(text + "\n\nThe converted files are in " + folder + "\nOpen this folder?", ProductName,
                        MB_YESNO | MB_ICONINFORMATION) == IDYES)
      Ui().OpenURL("file://" + folder);
  }

 private:
  TfrmMainBasic& FWindow;
};

// -------------------------------------------------------------- the window

TfrmMainBasic::TfrmMainBasic(QWidget* parent)
    : QMainWindow(parent), FDriver(std::make_unique<TWindowDriver>(*this)) {
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QStringLiteral("Convert the Excel documents"));
  setWindowIcon(ApplicationIcon());
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
  CreateControls();
  CreateMenus();
  FDriver->SetView(this);

  lblProductURL->setText(QString::fromUtf8(CompanyName));
  lblProductURL->setToolTip(QString::fromUtf8(CompanyWebAddress));
  const QString workDir = DefaultWorkFolder();
  edSourceName->setText(workDir);
  edDestinationName->setText(workDir);
  edLogProcessed->setText(workDir + QStringLiteral("processed.log"));
  UpdateLogControls();
  GoToPage(1);

  // The client area is 540 x 504 at least, more when a large font needs it
  // (sized when first shown, once a subclass has added its controls); the
  // window may be enlarged and the lists grow with it.
  auto* header = static_cast<THeaderPanel*>(pnlDescription);
  pnlDescription->setFixedHeight(header->NeededHeight());
  centralWidget()->setMinimumSize(ClientWidth, ClientHeight);
  resize(ClientWidth, ClientHeight + menuBar()->sizeHint().height());
}

TfrmMainBasic::~TfrmMainBasic() {
  FDriver->SetView(nullptr);
}

QWidget* TfrmMainBasic::CreatePage(const char* name, QVBoxLayout*& layout) {
  auto* page = new QWidget(pcWizard);
  page->setObjectName(QString::fromLatin1(name));
  layout = new QVBoxLayout(page);
  layout->setContentsMargins(18, 14, 18, 12);
  layout->setSpacing(6);
  pcWizard->addWidget(page);
  return page;
}

void TfrmMainBasic::CreateControls() {
  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("pnlClient"));
  setCentralWidget(client);
  auto* outer = new QVBoxLayout(client);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);

  // Header panel.
  auto* header = new THeaderPanel(client);
  pnlDescription = header;
  pnlDescription->setObjectName(QStringLiteral("pnlDescription"));
  pnlDescription->setFixedHeight(HeaderHeight);
  pnlDescription->setAutoFillBackground(true);
  QPalette headerPal = pnlDescription->palette();
  headerPal.setColor(QPalette::Window, Qt::white);
  headerPal.setColor(QPalette::WindowText, Qt::black);
  pnlDescription->setPalette(headerPal);
  imgBackground = new QLabel(pnlDescription);
  imgBackground->setObjectName(QStringLiteral("imgBackground"));
  imgBackground->setPixmap(QPixmap::fromImage(HeaderBackgroundPicture(HeaderPictureWidth, HeaderHeight)));
  imgDescription = new QLabel(pnlDescription);
  imgDescription->setObjectName(QStringLiteral("imgDescription"));
  imgDescription->setPixmap(QPixmap::fromImage(ConversionPicture(DescriptionPictureSize)));
  lblCaption = new QLabel(pnlDescription);
  lblCaption->setObjectName(QStringLiteral("lblCaption"));
  QFont captionFont = lblCaption->font();
  captionFont.setBold(true);
  lblCaption->setFont(captionFont);
  lblDescription = new QLabel(pnlDescription);
  lblDescription->setObjectName(QStringLiteral("lblDescription"));
  lblDescription->setWordWrap(true);
  lblDescription->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  header->Caption = lblCaption;
  header->Description = lblDescription;
  header->Background = imgBackground;
  header->Picture = imgDescription;
  outer->addWidget(pnlDescription);
  auto* topRule = new QFrame(client);
  topRule->setFrameShape(QFrame::HLine);
  topRule->setFrameShadow(QFrame::Sunken);
  outer->addWidget(topRule);

  // The logo strip beside the pages.
  auto* middle = new QHBoxLayout;
  middle->setContentsMargins(0, 0, 0, 0);
  middle->setSpacing(0);
  pbLogo = new TLogoStrip(client);
  pbLogo->setObjectName(QStringLiteral("pbLogo"));
  pbLogo->setFixedWidth(LogoStripWidth);
  middle->addWidget(pbLogo);
  pcWizard = new QStackedWidget(client);
  pcWizard->setObjectName(QStringLiteral("pcWizard"));
  middle->addWidget(pcWizard, 1);
  outer->addLayout(middle, 1);

  QVBoxLayout* l = nullptr;
  // 1: general information.
  tsInfo = CreatePage("tsInfo", l);
  lblGeneralInfo = new QLabel(QString::fromUtf8(GeneralInfoText), tsInfo);
  lblGeneralInfo->setObjectName(QStringLiteral("lblGeneralInfo"));
  lblGeneralInfo->setWordWrap(true);
  lblGeneralInfo->setAlignment(Qt::AlignCenter);
  l->addStretch(1);
  l->addWidget(lblGeneralInfo);
  l->addStretch(2);

  // 2: source.
  tsSource = CreatePage("tsSource", l);
  l->addWidget(new QLabel(QStringLiteral("Source directory:"), tsSource));
  edSourceName = MakeEdit("edSourceName", tsSource);
  btnSourceName = MakeBrowseButton("btnSourceName", tsSource, edSourceName);
  btnSourceName->setProperty("tag", 1);
  l->addLayout(EditRow(edSourceName, btnSourceName));
  l->addSpacing(4);
  l->addWidget(new QLabel(QStringLiteral("File mask/wildcard:"), tsSource));
  edSourceWildcard = MakeEdit("edSourceWildcard", tsSource);
  edSourceWildcard->setText(QStringLiteral("*.*"));
  l->addWidget(edSourceWildcard);
  l->addSpacing(2);
  chkSubFolders = MakeCheck("chkSubFolders", "Process sub-directories", tsSource);
  l->addWidget(chkSubFolders);
  l->addSpacing(6);
  FSourceLayout = new QVBoxLayout;
  FSourceLayout->setContentsMargins(0, 0, 0, 0);
  l->addLayout(FSourceLayout);
  l->addStretch(1);

  // 3: destination.
  tsDestination = CreatePage("tsDestination", l);
  l->addWidget(new QLabel(QStringLiteral("Destination directory:"), tsDestination));
  edDestinationName = MakeEdit("edDestinationName", tsDestination);
  btnDestinationName = MakeBrowseButton("btnDestinationName", tsDestination, edDestinationName);
  btnDestinationName->setProperty("tag", 2);
  l->addLayout(EditRow(edDestinationName, btnDestinationName));
  l->addSpacing(2);
  chkOverwrite = MakeCheck("chkOverwrite", "Overwrite destination file (if exists)", tsDestination);
  chkOverwrite->setChecked(true);
  l->addWidget(chkOverwrite);
  l->addSpacing(6);
  rgDestination = new TRadioGroup(QStringLiteral(" Destination format "), tsDestination);
  rgDestination->setObjectName(QStringLiteral("rgDestination"));
  l->addWidget(rgDestination);
  l->addStretch(1);

  // 4: options.
  tsOptions = CreatePage("tsOptions", l);
  chkLogProcessed = MakeCheck("chkLogProcessed", "Save the list of processed files to log", tsOptions);
  l->addWidget(chkLogProcessed);
  edLogProcessed = MakeEdit("edLogProcessed", tsOptions);
  btnLogProcessed = MakeBrowseButton("btnLogProcessed", tsOptions, edLogProcessed);
  auto* logRow = EditRow(edLogProcessed, btnLogProcessed);
  logRow->setContentsMargins(20, 0, 0, 0);
  l->addLayout(logRow);
  l->addSpacing(3);  // the page is full: the window keeps its size
  CreateOptionControls(l);
  l->addStretch(1);

  // 5: file list.
  tsFileList = CreatePage("tsFileList", l);
  lvFileName = new QTreeWidget(tsFileList);
  lvFileName->setObjectName(QStringLiteral("lvFileName"));
  lvFileName->setColumnCount(2);
  lvFileName->setHeaderLabels({QStringLiteral("File name"), QStringLiteral("Path")});
  lvFileName->setRootIsDecorated(false);
  lvFileName->setUniformRowHeights(true);
  lvFileName->setAllColumnsShowFocus(true);
  // Names take what the window gives; the folder column can be dragged wider.
  const int charWidth = lvFileName->fontMetrics().averageCharWidth();
  lvFileName->header()->setStretchLastSection(false);
  lvFileName->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  lvFileName->header()->setSectionResizeMode(1, QHeaderView::Interactive);
  lvFileName->setColumnWidth(1, 16 * charWidth);
  lvFileName->setTextElideMode(Qt::ElideMiddle);
  lvFileName->setContextMenuPolicy(Qt::CustomContextMenu);
  l->addWidget(lvFileName, 1);

  // 6: summary and log.
  tsLog = CreatePage("tsLog", l);
  lblSummary = new QLabel(tsLog);
  lblSummary->setObjectName(QStringLiteral("lblSummary"));
  lblSummary->setWordWrap(true);
  lblSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
  l->addWidget(lblSummary);
  pbProcess = new QProgressBar(tsLog);
  pbProcess->setObjectName(QStringLiteral("pbProcess"));
  pbProcess->setTextVisible(false);
  pbProcess->setFixedHeight(16);
  QSizePolicy keep = pbProcess->sizePolicy();
  keep.setRetainSizeWhenHidden(true);  // the list must not jump when the bar appears
  pbProcess->setSizePolicy(keep);
  pbProcess->hide();
  l->addWidget(pbProcess);
  lvProgress = new QTreeWidget(tsLog);
  lvProgress->setObjectName(QStringLiteral("lvProgress"));
  lvProgress->setColumnCount(4);
  lvProgress->setHeaderLabels(
      {QStringLiteral("File name"), QStringLiteral("Status"), QStringLiteral("Time"), QStringLiteral("Destination file")});
  lvProgress->headerItem()->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  lvProgress->setRootIsDecorated(false);
  lvProgress->setUniformRowHeights(true);
  lvProgress->setAllColumnsShowFocus(true);
  lvProgress->setTextElideMode(Qt::ElideMiddle);  // the names' ends tell the files apart
  lvProgress->setItemDelegateForColumn(1, new TElideRightDelegate(lvProgress));
  // The name and the status share what the window gives (a failure's text
  // needs the room); Time can be dragged wider. A double-click shows a
  // status in full.
  QHeaderView* progressHeader = lvProgress->header();
  progressHeader->setStretchLastSection(false);
  progressHeader->setSectionResizeMode(0, QHeaderView::Stretch);
  progressHeader->setSectionResizeMode(1, QHeaderView::Stretch);
  progressHeader->setSectionResizeMode(2, QHeaderView::Interactive);
  progressHeader->setMinimumSectionSize(40);
  lvProgress->setColumnWidth(1, 18 * charWidth);
  const int timeWidth = lvProgress->fontMetrics().horizontalAdvance(QStringLiteral("99999 msec")) + 16;
  lvProgress->setColumnWidth(2, std::max(70, timeWidth));
  lvProgress->setColumnHidden(3, true);
  l->addWidget(lvProgress, 1);

  auto* bottomRule = new QFrame(client);
  bottomRule->setFrameShape(QFrame::HLine);
  bottomRule->setFrameShadow(QFrame::Sunken);
  outer->addWidget(bottomRule);

  // Link and buttons.
  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(12, 9, 12, 10);
  buttons->setSpacing(6);
  lblProductURL = new TLinkLabel(QString(), client);
  lblProductURL->setObjectName(QStringLiteral("lblProductURL"));
  lblProductURL->OnClick = [] { OpenProductHomepage(); };
  buttons->addWidget(lblProductURL);
  buttons->addStretch(1);
  btnFirst = MakeNarrowButton("btnFirst", QStringLiteral("<<"), client);
  btnPrev = MakeButton("btnPrev", QStringLiteral("< &Back"), client);
  btnNext = MakeButton("btnNext", QStringLiteral("&Next >"), client);
  btnLast = MakeNarrowButton("btnLast", QStringLiteral(">>"), client);
  btnCancel = MakeButton("btnCancel", QStringLiteral("&Cancel"), client);
  btnStop = MakeButton("btnStop", QStringLiteral("&Stop"), client);
  btnFirst->setToolTip(QStringLiteral("First page"));
  btnLast->setToolTip(QStringLiteral("Last page"));
  btnStop->hide();
  btnStop->setEnabled(false);
  buttons->addWidget(btnFirst);
  buttons->addWidget(btnPrev);
  buttons->addWidget(btnNext);
  buttons->addWidget(btnLast);
  buttons->addSpacing(10);
  buttons->addWidget(btnCancel);
  buttons->addWidget(btnStop);
  outer->addLayout(buttons);

  connect(btnPrev, &QPushButton::clicked, this, [this] {
    if (FCurrentPage > 1) GoToPage(FCurrentPage - 1);
  });
  connect(btnNext, &QPushButton::clicked, this, [this] {
    if (FCurrentPage < PageCount && SourceFolderConfirmed() && OptionsConfirmed()) GoToPage(FCurrentPage + 1);
  });
  connect(btnFirst, &QPushButton::clicked, this, [this] {
    while (FCurrentPage > 1 && !FBusy) {
      const int before = FCurrentPage;
      GoToPage(FCurrentPage - 1);
      if (FCurrentPage == before) break;
    }
  });
  connect(btnLast, &QPushButton::clicked, this, [this] {
    if (!SourceFolderConfirmed() || !OptionsConfirmed()) return;
    while (FCurrentPage < PageCount && !FBusy) {
      const int before = FCurrentPage;
      GoToPage(FCurrentPage + 1);
      if (FCurrentPage == before) break;
    }
  });
  connect(btnCancel, &QPushButton::clicked, this, [this] { CancelClicked(); });
  connect(btnStop, &QPushButton::clicked, this, [this] { StopClicked(); });
  connect(chkLogProcessed, &QCheckBox::toggled, this, [this] { UpdateLogControls(); });
  connect(chkSubFolders, &QCheckBox::toggled, this, [this] { UpdateOutputControls(); });
  connect(btnLogProcessed, &QPushButton::clicked, this, [this] { BrowseLogFile(); });
  connect(btnSourceName, &QPushButton::clicked, this, [this] { BrowseFolder(btnSourceName->property("tag").toInt()); });
  connect(btnDestinationName, &QPushButton::clicked, this,
          [this] { BrowseFolder(btnDestinationName->property("tag").toInt()); });
  connect(lvFileName, &QTreeWidget::itemChanged, this,
          [this](QTreeWidgetItem* item, int column) { CandidateItemChanged(item, column); });
}

void TfrmMainBasic::CreateOptionControls(QVBoxLayout* page) {
  // Text shape of the four text formats.
  gbTextOptions = new QGroupBox(QStringLiteral(" Text options "), tsOptions);
  gbTextOptions->setObjectName(QStringLiteral("gbTextOptions"));
  auto* g = new QGridLayout(gbTextOptions);
  g->setHorizontalSpacing(8);
  g->setVerticalSpacing(4);
  chkBanner = MakeCheck("chkBanner", "Banner (\"Generated by ...\")", gbTextOptions);
  chkExtraRowColumn = MakeCheck("chkExtraRowColumn", "Extra empty row and column", gbTextOptions);
  cbSeparator = MakeCombo("cbSeparator", gbTextOptions);
  cbSeparator->setEditable(true);
  cbSeparator->setInsertPolicy(QComboBox::NoInsert);
  for (const TSeparatorItem& item : SeparatorItems)
    cbSeparator->addItem(QString::fromUtf8(item.Text), QString::fromUtf8(item.Separator));
  cbSeparator->setToolTip(QStringLiteral("Choose a separator or type one character"));
  lblSeparator = MakeLabel("lblSeparator", "Separator:", gbTextOptions, cbSeparator);
  cbQuoting = MakeList("cbQuoting", gbTextOptions, QuotingItems);
  cbQuoting->setItemData(cqMinimal,
                         QStringLiteral("As RFC 4180: quotes around a field that holds the separator, a quote or a "
                                        "line break"),
                         Qt::ToolTipRole);
  lblQuoting = MakeLabel("lblQuoting", "Quotes:", gbTextOptions, cbQuoting);
  cbLineEnd = MakeList("cbLineEnd", gbTextOptions, LineEndItems);
  lblLineEnd = MakeLabel("lblLineEnd", "Line ends:", gbTextOptions, cbLineEnd);
  cbEncoding = MakeList("cbEncoding", gbTextOptions, EncodingItems);
  lblEncoding = MakeLabel("lblEncoding", "Encoding:", gbTextOptions, cbEncoding);
  chkHtmlTitle = MakeCheck("chkHtmlTitle", "Title and caption from file and sheet name", gbTextOptions);
  btnCleanData = MakeButton("btnCleanData", QStringLiteral("C&lean data"), gbTextOptions);
  btnCleanData->setToolTip(QString::fromUtf8(CleanDataHint));
  g->addWidget(chkBanner, 0, 0, 1, 2);
  g->addWidget(chkExtraRowColumn, 0, 2, 1, 2);
  g->addWidget(lblSeparator, 1, 0);
  g->addWidget(cbSeparator, 1, 1);
  g->addWidget(lblQuoting, 1, 2);
  g->addWidget(cbQuoting, 1, 3);
  g->addWidget(lblLineEnd, 2, 0);
  g->addWidget(cbLineEnd, 2, 1);
  g->addWidget(lblEncoding, 2, 2);
  g->addWidget(cbEncoding, 2, 3);
  g->addWidget(chkHtmlTitle, 3, 0, 1, 3);
  g->addWidget(btnCleanData, 3, 3, Qt::AlignRight);
  g->setColumnStretch(1, 1);
  g->setColumnStretch(3, 1);
  page->addWidget(gbTextOptions);
  page->addSpacing(4);

  // One output per sheet or per workbook, for the formats that hold several
  // sheets; the captions name the format's choice (TfrmMain).
  gbWorkbook = new QGroupBox(QStringLiteral(" Whole workbooks "), tsOptions);
  gbWorkbook->setObjectName(QStringLiteral("gbWorkbook"));
  auto* w = new QBoxLayout(QBoxLayout::TopToBottom, gbWorkbook);
  w->setSpacing(4);
  rbSheetFiles = new QRadioButton(QStringLiteral("One file per sheet"), gbWorkbook);
  rbSheetFiles->setObjectName(QStringLiteral("rbSheetFiles"));
  rbWholeWorkbook = new QRadioButton(QStringLiteral("One file per workbook with all its sheets"), gbWorkbook);
  rbWholeWorkbook->setObjectName(QStringLiteral("rbWholeWorkbook"));
  rbWholeWorkbook->setToolTip(
      QStringLiteral("Named as the source file; the sheet choice below still applies, the name template does not"));
  // The two choices side by side when the page setup needs the room.
  wbChoices = new QBoxLayout(QBoxLayout::TopToBottom);
  wbChoices->setSpacing(4);
  wbChoices->addWidget(rbSheetFiles);
  wbChoices->addWidget(rbWholeWorkbook);
  w->addLayout(wbChoices);
  lblExportSpec = new QLabel(gbWorkbook);
  lblExportSpec->setObjectName(QStringLiteral("lblExportSpec"));
  btnLoadExportSpec = MakeButton("btnLoadExportSpec", QStringLiteral("Load export settings..."), gbWorkbook);
  btnLoadExportSpec->setToolTip(QStringLiteral(
      "A specification file of the export components: titles, header and footer lines, colours, fonts, grid "
      "lines, viewer preferences ... for every output"));
  btnSaveExportSpec = MakeButton("btnSaveExportSpec", QStringLiteral("Save export settings..."), gbWorkbook);
  btnClearExportSpec = MakeButton("btnClearExportSpec", QStringLiteral("Defaults"), gbWorkbook);
  btnClearExportSpec->setToolTip(QStringLiteral("Forget the export settings file: the components' defaults"));
  // The file's name on a line of its own, the buttons below it.
  w->addWidget(lblExportSpec);
  auto* specRow = new QHBoxLayout;
  specRow->addWidget(btnLoadExportSpec);
  specRow->addWidget(btnSaveExportSpec);
  specRow->addWidget(btnClearExportSpec);
  specRow->addStretch(1);
  w->addLayout(specRow);
  // PDF pages: paper, orientation, scaling and the header row.
  // A row of the workbook box: the page has no room for a box of its own.
  pnlPageSetup = new QWidget(gbWorkbook);
  pnlPageSetup->setObjectName(QStringLiteral("pnlPageSetup"));
  auto* ps = new QGridLayout(pnlPageSetup);
  ps->setContentsMargins(0, 0, 0, 0);
  ps->setHorizontalSpacing(4);
  ps->setVerticalSpacing(2);
  cbPaperSize = MakeList("cbPaperSize", pnlPageSetup, PaperItems);
  cbOrientation = MakeList("cbOrientation", pnlPageSetup, OrientationItems);
  cbOrientation->setToolTip(QStringLiteral("Automatic: landscape when the sheet is wider than a portrait page"));
  cbFit = MakeCombo("cbFit", pnlPageSetup);
  cbFit->setEditable(true);
  cbFit->setInsertPolicy(QComboBox::NoInsert);
  cbFit->addItems({QString::fromUtf8(FitWidthItem), QStringLiteral("100%"), QStringLiteral("75%"),
                   QStringLiteral("50%")});
  cbFit->setToolTip(QStringLiteral("Fit the columns to the page's width (not below 40 %), or a percentage"));
  edMargins = MakeEdit("edMargins", pnlPageSetup);
  edMargins->setToolTip(QStringLiteral("default, or one length or four (top,right,bottom,left): 15mm, 1in"));
  chkFirstRowHeader = MakeCheck("chkFirstRowHeader", "Header", pnlPageSetup);
  chkFirstRowHeader->setToolTip(QStringLiteral("First row is a header: repeated at the top of every page"));
  for (QComboBox* c : {cbPaperSize, cbOrientation, cbFit}) c->setMinimumContentsLength(5);
  cbFit->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  cbOrientation->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  chkPageLines = MakeCheck("chkPageLines", "Name, page no.", pnlPageSetup);
  chkPageLines->setToolTip(QStringLiteral("The sheet's name above and \"Page N of M\" below every page"));
  ps->addWidget(MakeLabel("lblPaperSize", "Paper:", pnlPageSetup, cbPaperSize), 0, 0);
  ps->addWidget(cbPaperSize, 0, 1);
  ps->addWidget(MakeLabel("lblOrientation", "Turn:", pnlPageSetup, cbOrientation), 0, 2);
  ps->setColumnStretch(6, 1);
  ps->addWidget(cbOrientation, 0, 3);
  ps->addWidget(MakeLabel("lblFit", "Scale:", pnlPageSetup, cbFit), 0, 4);
  ps->addWidget(cbFit, 0, 5);
  ps->addWidget(chkFirstRowHeader, 0, 6);
  // One row is all the page has room for: margins and the lines above and
  // below the pages keep what the settings file says.
  edMargins->setVisible(false);
  chkPageLines->setVisible(false);
  pnlPageSetup->setVisible(false);
  w->insertWidget(1, pnlPageSetup);

  // Shown for those formats only, where the text options are not: the
  // page never needs room for both.
  gbWorkbook->setVisible(false);
  page->addWidget(gbWorkbook);
  page->addSpacing(4);


  // Names, sheets and folders of every format.
  gbOutputFiles = new QGroupBox(QStringLiteral(" Output files "), tsOptions);
  gbOutputFiles->setObjectName(QStringLiteral("gbOutputFiles"));
  auto* o = new QGridLayout(gbOutputFiles);
  o->setHorizontalSpacing(8);
  o->setVerticalSpacing(4);
  cbNames = MakeCombo("cbNames", gbOutputFiles);
  cbNames->addItems({QString(), QString(), QStringLiteral("Own template:")});
  edNameTemplate = MakeEdit("edNameTemplate", gbOutputFiles);
  edNameTemplate->setToolTip(
      QStringLiteral("{name} file name, {sheet} sheet name, {index} sheet number from 1, {ext} extension"));
  cbSheets = MakeList("cbSheets", gbOutputFiles, SheetItems);
  edSheetMask = MakeEdit("edSheetMask", gbOutputFiles);
  edSheetMask->setPlaceholderText(QStringLiteral("e.g. Data*"));
  chkKeepFolderTree = MakeCheck("chkKeepFolderTree", "Keep the folder tree of the sub-directories", gbOutputFiles);
  // Numbers, dates and booleans of the text formats and PDF.
  cbValues = MakeList("cbValues", gbOutputFiles, ValuesItems);
  cbValues->setToolTip(QStringLiteral("Numbers and dates as stored, or as displayed (through each cell's number "
                                      "format); by format: as displayed in HTML and PDF only; for data tools: ISO "
                                      "8601 dates and times, percentages as fractions"));
  o->addWidget(MakeLabel("lblNames", "File names:", gbOutputFiles, cbNames), 0, 0);
  o->addWidget(cbNames, 0, 1);
  o->addWidget(edNameTemplate, 0, 2);
  o->addWidget(MakeLabel("lblSheets", "Sheets:", gbOutputFiles, cbSheets), 1, 0);
  o->addWidget(cbSheets, 1, 1);
  o->addWidget(edSheetMask, 1, 2);
  o->addWidget(MakeLabel("lblValues", "Values:", gbOutputFiles, cbValues), 2, 0);
  o->addWidget(cbValues, 2, 1);
  o->addWidget(chkKeepFolderTree, 3, 0, 1, 3);
  o->setColumnStretch(1, 1);
  o->setColumnStretch(2, 1);
  page->addWidget(gbOutputFiles);

  SetDestinationOptions(TDestinationOptions());
  connect(btnCleanData, &QPushButton::clicked, this, [this] { ApplyCleanData(); });
  connect(cbNames, &QComboBox::currentIndexChanged, this, [this](int index) {
    // The fixed choices show their template; an own one starts from the last shown.
    if (index == niSheetName) edNameTemplate->setText(QString::fromUtf8(SheetNameTemplate));
    if (index == niAsAlways) edNameTemplate->clear();
    if (index == niTemplate && edNameTemplate->text().isEmpty())
      edNameTemplate->setText(QString::fromUtf8(SheetNameTemplate));
    UpdateOutputControls();
  });
  connect(cbSheets, &QComboBox::currentIndexChanged, this, [this] { UpdateOutputControls(); });
  connect(rbWholeWorkbook, &QRadioButton::toggled, this, [this] { UpdateOptionsPage(); });
  connect(btnLoadExportSpec, &QPushButton::clicked, this, [this] { LoadExportSettings(); });
  connect(btnSaveExportSpec, &QPushButton::clicked, this, [this] { SaveExportSettings(); });
  connect(btnClearExportSpec, &QPushButton::clicked, this, [this] { ClearExportSettings(); });
}

bool TfrmMainBasic::WholeWorkbookChosen() const {
  TDestinationOptions o;
  o.WholeWorkbook = rbWholeWorkbook->isChecked();
  return WritesWholeWorkbook(o, rgDestination->ItemIndex());
}

void TfrmMainBasic::UpdateOutputControls() {
  // A workbook output is named as its source: no template to choose.
  const bool book = WholeWorkbookChosen();
  cbNames->setEnabled(!book);
  edNameTemplate->setEnabled(!book && cbNames->currentIndex() == niTemplate);
  edSheetMask->setEnabled(cbSheets->currentIndex() == ssMask);
  chkKeepFolderTree->setEnabled(chkSubFolders->isChecked());
}

void TfrmMainBasic::UpdateOptionsPage() {
  // The examples name files of the chosen format.
  const QString ext = FromAnsi(GetDestinationExt());
  const QString e = ext.isEmpty() ? QStringLiteral(".txt") : ext;
  cbNames->setItemText(niAsAlways, WholeWorkbookChosen() ? QStringLiteral("book%1").arg(e)
                                                         : QStringLiteral("book%1, book1%1, ...").arg(e));
  cbNames->setItemText(niSheetName, QStringLiteral("book - Sheet1%1").arg(e));
  UpdateOutputControls();
}

TDestinationOptions TfrmMainBasic::DestinationOptions() const {
  TDestinationOptions o;
  TTextOptions& t = o.Text;
  t.Banner = chkBanner->isChecked();
  t.ExtraRowColumn = chkExtraRowColumn->isChecked();
  const int sep = cbSeparator->findText(cbSeparator->currentText());
  if (sep >= 0) {
    t.Separator = ToAnsi(cbSeparator->itemData(sep).toString());
  } else if (auto typed = ParseSeparator(ToAnsi(cbSeparator->currentText()))) {
    t.Separator = *typed;
  }
  t.Quoting = TCsvQuoting(std::max(0, cbQuoting->currentIndex()));
  t.LineBreak = TLineBreak(std::max(0, cbLineEnd->currentIndex()));
  t.Encoding = TTextEncoding(std::max(0, cbEncoding->currentIndex()));
  t.HtmlTitle = chkHtmlTitle->isChecked();
  t.Values = TCellValues(std::max(0, cbValues->currentIndex()));
  if (cbNames->currentIndex() != niAsAlways) {
    const std::string tmpl = ToAnsi(edNameTemplate->text());
    if (NameTemplateProblem(tmpl).empty()) o.NameTemplate = tmpl;
  }
  o.KeepFolderTree = chkKeepFolderTree->isChecked();
  o.Sheets = TSheetSelection(std::max(0, cbSheets->currentIndex()));
  o.SheetMask = ToAnsi(edSheetMask->text());
  o.WholeWorkbook = rbWholeWorkbook->isChecked();
  TQXEPageSetup& p = o.Page.Setup;
  p.PaperSize = TQXEPaperSize(std::max(0, cbPaperSize->currentIndex()));
  p.Orientation = TQXEOrientation(std::max(0, cbOrientation->currentIndex()) + emPortrait);
  const QString fit = cbFit->currentText();
  ApplyFit(fit == QString::fromUtf8(FitWidthItem) ? std::string("width") : ToAnsi(fit), p);
  ApplyMargins(ToAnsi(edMargins->text()), p);
  // What the page has no control for stays as the settings gave it.
  p.PageOrder = FPageOrder;
  p.RepeatRows = chkFirstRowHeader->isChecked() ? std::max(FRepeatRows, 1) : 0;
  const bool lines = chkPageLines->isChecked();
  o.Page.HeaderLine = lines && (FPageLines.first || !FPageLines.second);
  o.Page.FooterLine = lines && (FPageLines.second || !FPageLines.first);
  o.ExportSpec = FExportSpec;
  o.ExportSpecLines = FExportSpecLines;
  return o;
}

void TfrmMainBasic::SetDestinationOptions(const TDestinationOptions& o) {
  const TTextOptions& t = o.Text;
  chkBanner->setChecked(t.Banner);
  chkExtraRowColumn->setChecked(t.ExtraRowColumn);
  const int sep = cbSeparator->findData(FromAnsi(t.Separator));
  if (sep >= 0)
    cbSeparator->setCurrentIndex(sep);
  else
    cbSeparator->setEditText(FromAnsi(t.Separator));
  cbQuoting->setCurrentIndex(t.Quoting);
  cbLineEnd->setCurrentIndex(t.LineBreak);
  cbEncoding->setCurrentIndex(t.Encoding);
  chkHtmlTitle->setChecked(t.HtmlTitle);
  cbValues->setCurrentIndex(t.Values);
  edNameTemplate->setText(FromAnsi(o.NameTemplate));
  cbNames->setCurrentIndex(o.NameTemplate.empty()                 ? niAsAlways
                           : o.NameTemplate == SheetNameTemplate ? niSheetName
                                                                 : niTemplate);
  chkKeepFolderTree->setChecked(o.KeepFolderTree);
  cbSheets->setCurrentIndex(o.Sheets);
  edSheetMask->setText(FromAnsi(o.SheetMask));
  (o.WholeWorkbook ? rbWholeWorkbook : rbSheetFiles)->setChecked(true);
  const TQXEPageSetup& p = o.Page.Setup;
  cbPaperSize->setCurrentIndex(p.PaperSize);
  cbOrientation->setCurrentIndex(std::max(int(p.Orientation), int(emPortrait)) - emPortrait);
  cbFit->setEditText(p.FitToPage ? QString::fromUtf8(FitWidthItem) : QStringLiteral("%1%").arg(p.Zoom));
  edMargins->setText(FromAnsi(MarginsWord(p)));
  FPageOrder = p.PageOrder;
  FRepeatRows = p.RepeatRows;
  chkFirstRowHeader->setChecked(p.RepeatRows > 0);
  FPageLines = {o.Page.HeaderLine, o.Page.FooterLine};
  chkPageLines->setChecked(o.Page.HeaderLine || o.Page.FooterLine);
  FExportSpec = o.ExportSpec;
  FExportSpecLines = o.ExportSpecLines;
  ShowExportSpec();
  UpdateOutputControls();
}

void TfrmMainBasic::ShowExportSpec() {
  lblExportSpec->setText(FExportSpec.empty() ? QStringLiteral("Export settings: defaults")
                                             : QStringLiteral("Export settings: ") + FromAnsi(ExtractFileName(FExportSpec)));
  lblExportSpec->setToolTip(FromAnsi(FExportSpec));
  btnClearExportSpec->setEnabled(!FExportSpec.empty());
}

void TfrmMainBasic::LoadExportSettings() {
  std::string path = FExportSpec;
  if (!Ui().OpenFileDialog("Load export settings", ExportSpecFilter, path)) return;
  TDestinationOptions o;
  o.ExportSpec = path;
  try {
    LoadExportSpec(o);
  } catch (const std::exception& e) {
    Ui().MessageBox(e.what(), ProductName, MB_OK | MB_ICONWARNING);
    return;
  }
  FExportSpec = o.ExportSpec;
  FExportSpecLines = o.ExportSpecLines;
  ShowExportSpec();
}

void TfrmMainBasic::SaveExportSettings() {
  std::string path = FExportSpec.empty() ? std::string("export.spec") : FExportSpec;
  if (!Ui().SaveFileDialog("Save export settings", ExportSpecFilter, "spec", path)) return;
  try {
    SaveExportSpec(path, DestinationOptions(), rgDestination->ItemIndex());
  } catch (const std::exception& e) {
    Ui().MessageBox(e.what(), ProductName, MB_OK | MB_ICONERROR);
  }
}

void TfrmMainBasic::ClearExportSettings() {
  FExportSpec.clear();
  FExportSpecLines.clear();
  ShowExportSpec();
}

void TfrmMainBasic::ApplyCleanData() {
  TDestinationOptions o = DestinationOptions();
  ApplyCleanPreset(o);
  SetDestinationOptions(o);
}

bool TfrmMainBasic::OptionsConfirmed() {
  if (FCurrentPage != 4) return true;
  const std::string sep = ToAnsi(cbSeparator->currentText());
  if (cbSeparator->findText(cbSeparator->currentText()) < 0 && !ParseSeparator(sep)) {
    Ui().MessageBox(Format(MsgBadSeparator, sep.c_str()), ProductName, MB_OK | MB_ICONWARNING);
    cbSeparator->setFocus();
    return false;
  }
  if (cbNames->currentIndex() == niTemplate) {
    const std::string tmpl = ToAnsi(edNameTemplate->text());
    const std::string problem = NameTemplateProblem(tmpl);
    if (!problem.empty()) {
      Ui().MessageBox(Format(MsgBadNameTemplate, tmpl.c_str(), problem.c_str()), ProductName,
                      MB_OK | MB_ICONWARNING);
      edNameTemplate->setFocus();
      return false;
    }
  }
  return true;
}

void TfrmMainBasic::CreateMenus() {
  miFile = menuBar()->addMenu(QStringLiteral("File"));
  miFile->setObjectName(QStringLiteral("miFile"));
  miFileSource = miFile->addAction(QStringLiteral("Source directory..."));
  miFileSource->setObjectName(QStringLiteral("miFileSource"));
  miFileSource->setData(1);
  miFileDestination = miFile->addAction(QStringLiteral("Destination directory..."));
  miFileDestination->setObjectName(QStringLiteral("miFileDestination"));
  miFileDestination->setData(2);
  miFile->addSeparator();
  miFileExecute = miFile->addAction(QStringLiteral("Execute"));
  miFileExecute->setObjectName(QStringLiteral("miFileExecute"));
  miFileExecute->setEnabled(false);
  miFile->addSeparator();
  miFileExit = miFile->addAction(QStringLiteral("Exit"));
  miFileExit->setObjectName(QStringLiteral("miFileExit"));

  miHelp = menuBar()->addMenu(QStringLiteral("Help"));
  miHelp->setObjectName(QStringLiteral("miHelp"));
  miHelp->setToolTipsVisible(true);
  miHelpContents = miHelp->addAction(QStringLiteral("Contents"));
  miHelpContents->setObjectName(QStringLiteral("miHelpContents"));
  miHelp->addSeparator();
  miHelpHomepage = miHelp->addAction(QStringLiteral("Product homepage"));
  miHelpHomepage->setObjectName(QStringLiteral("miHelpHomepage"));
  miHelpHomepage->setToolTip(QStringLiteral("Visit product home page"));
  miHelpHomepage->setStatusTip(miHelpHomepage->toolTip());
  miHelpMail = miHelp->addAction(QStringLiteral("Send E-mail to support"));
  miHelpMail->setObjectName(QStringLiteral("miHelpMail"));
  miHelp->addSeparator();
  miHelpAbout = miHelp->addAction(QStringLiteral("About..."));
  miHelpAbout->setObjectName(QStringLiteral("miHelpAbout"));

  pmFileName = new QMenu(this);
  pmFileName->setObjectName(QStringLiteral("pmFileName"));
  pmFileName->setToolTipsVisible(true);
  miSelectAll = pmFileName->addAction(QStringLiteral("&Select all"));
  miSelectAll->setObjectName(QStringLiteral("miSelectAll"));
  miSelectAll->setToolTip(QStringLiteral("Select all items"));
  miUnselectAll = pmFileName->addAction(QStringLiteral("&Unselect all"));
  miUnselectAll->setObjectName(QStringLiteral("miUnselectAll"));
  miUnselectAll->setToolTip(QStringLiteral("Unselect all items"));
  miRevert = pmFileName->addAction(QStringLiteral("Revert"));
  miRevert->setObjectName(QStringLiteral("miRevert"));
  miRevert->setToolTip(QStringLiteral("Revert selections for all items"));
  for (QAction* a : {miSelectAll, miUnselectAll, miRevert}) a->setStatusTip(a->toolTip());

  connect(miFileSource, &QAction::triggered, this, [this] { BrowseFolder(miFileSource->data().toInt()); });
  connect(miFileDestination, &QAction::triggered, this, [this] { BrowseFolder(miFileDestination->data().toInt()); });
  connect(miFileExecute, &QAction::triggered, this, [this] { ExecuteConversion(); });
  connect(miFileExit, &QAction::triggered, this, [this] { close(); });
  connect(miHelpHomepage, &QAction::triggered, this, [] { OpenProductHomepage(); });
  connect(miHelpMail, &QAction::triggered, this, [] { SendSupportMail(); });
  connect(miHelpAbout, &QAction::triggered, this, [this] { ShowAboutBox(this); });
  connect(miSelectAll, &QAction::triggered, this, [this] { SelectAll(); });
  connect(miUnselectAll, &QAction::triggered, this, [this] { UnselectAll(); });
  connect(miRevert, &QAction::triggered, this, [this] { RevertSelection(); });
  connect(lvProgress, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem* item) { ShowStatusInFull(item); });
  connect(miHelpContents, &QAction::triggered, this, [] { OpenHelpContents(); });
  connect(lvFileName, &QWidget::customContextMenuRequested, this,
          [this](const QPoint& pos) { pmFileName->popup(lvFileName->viewport()->mapToGlobal(pos)); });
}

// ----------------------------------------------------------------- navigation

void TfrmMainBasic::GoToPage(int page) {
  if (page == FCurrentPage || page < 1 || page > PageCount || FBusy || FRunning) return;
  const int old = FCurrentPage;
  FCurrentPage = page;
  UpdatePage();
  if (page > old && (page == 5 || page == 6)) {
    // Building a list pumps events; keep the user from navigating meanwhile.
    FBusy = true;
    UpdatePage();
    try {
      FDriver->Settings = CurrentSettings();
      FListedSource = FDriver->Settings.edSourceName;
      if (page == 5) {
        FDriver->BuildCandidateList();
        TickStartFiles();
      } else {
        FDriver->BuildWorkList();
        UpdateSummary();
      }
    } catch (const std::exception& e) {
      Ui().MessageBox(e.what(), ProductName, MB_OK | MB_ICONERROR);
    }
    FBusy = false;
    UpdatePage();
  }
  if (FCurrentPage == 4) UpdateOptionsPage();
  if (IsPageValid()) {
    pcWizard->setCurrentIndex(FCurrentPage - 1);
  } else if (FCurrentPage > old) {
    if (FCurrentPage < PageCount) GoToPage(FCurrentPage + 1);
  } else {
    if (FCurrentPage > 1) GoToPage(FCurrentPage - 1);
  }
}

void TfrmMainBasic::UpdatePage() {
  const bool idle = !FBusy && !FRunning;
  btnPrev->setEnabled(idle && FCurrentPage > 1);
  btnNext->setEnabled(idle && FCurrentPage < PageCount);
  btnFirst->setEnabled(btnPrev->isEnabled());
  btnLast->setEnabled(btnNext->isEnabled());
  miFileSource->setEnabled(idle);
  miFileDestination->setEnabled(idle);
  btnNext->setDefault(btnNext->isEnabled());
  btnCancel->setDefault(!btnNext->isEnabled());
  if (FCurrentPage >= 1 && FCurrentPage <= PageCount) {
    lblCaption->setText(QString::fromUtf8(PageTexts[FCurrentPage - 1].Caption));
    lblDescription->setText(QString::fromUtf8(PageTexts[FCurrentPage - 1].Description));
  }
  btnCancel->setText(FCurrentPage < PageCount ? QStringLiteral("&Cancel") : QStringLiteral("Execute"));
}

bool TfrmMainBasic::IsPageValid() {
  if (FCurrentPage == 2) return DirectoryExists(ToAnsi(edSourceName->text()));
  return true;
}

QTreeWidget* TfrmMainBasic::GetFileListView() { return lvFileName; }

bool TfrmMainBasic::SourceFolderConfirmed() {
  if (FCurrentPage != 2 || IsPageValid()) return true;
  // Passing the page over would list nothing, and say nothing about why.
  const std::string folder = Trim(ToAnsi(edSourceName->text()));
  Ui().MessageBox(folder.empty() ? std::string(MsgNoSourceFolder) : Format(MsgSourceFolderMissing, folder.c_str()),
                  ProductName, MB_OK | MB_ICONWARNING);
  edSourceName->setFocus();
  return false;
}

void TfrmMainBasic::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
      if (btnNext->isEnabled()) {
        btnCancel->click();
        return;
      }
      break;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (btnNext->isEnabled()) {
        btnNext->click();
        return;
      }
      if (btnCancel->isVisible() && btnCancel->isEnabled()) {
        btnCancel->click();
        return;
      }
      break;
    default: break;
  }
  QMainWindow::keyPressEvent(event);
}

// --------------------------------------------------------------------- hooks

bool TfrmMainBasic::IsFileAccepted(const std::string&) { return false; }
std::string TfrmMainBasic::GetDestinationExt() { return std::string(); }
void TfrmMainBasic::CreateConverters() {}
void TfrmMainBasic::FreeConverters() {}
void TfrmMainBasic::ConvertFile(const std::string&, const std::string&) {}

TBatchDriver& TfrmMainBasic::Driver() { return *FDriver; }

TJobSettings TfrmMainBasic::CurrentSettings() const {
  TJobSettings s;
  s.edSourceName = ToAnsi(edSourceName->text());
  s.edSourceWildcard = ToAnsi(edSourceWildcard->text());
  s.chkSubFolders = chkSubFolders->isChecked();
  s.edDestinationName = ToAnsi(edDestinationName->text());
  s.chkOverwrite = chkOverwrite->isChecked();
  s.rgDestination = rgDestination->ItemIndex();
  s.chkLogProcessed = chkLogProcessed->isChecked();
  s.edLogProcessed = ToAnsi(edLogProcessed->text());
  s.MaxOutputSize = FMaxOutputSize;
  s.MaxWorkbookMemory = FMaxWorkbookMemory;
  s.Compression = FCompression;
  s.Destination = DestinationOptions();
  return s;
}

// ----------------------------------------------------------------- commands

void TfrmMainBasic::UpdateLogControls() {
  edLogProcessed->setEnabled(chkLogProcessed->isChecked());
  btnLogProcessed->setEnabled(chkLogProcessed->isChecked());
}

void TfrmMainBasic::BrowseFolder(int tag) {
  QLineEdit* edit = tag == 1 ? edSourceName : tag == 2 ? edDestinationName : nullptr;
  if (!edit) return;
  const std::string current = ToAnsi(edit->text());
  std::string folder = current;
  if (Ui().BrowseForFolder(FolderBrowserTitle, folder) && folder != current) edit->setText(FromAnsi(folder));
}

void TfrmMainBasic::BrowseLogFile() {
  std::string path = ToAnsi(edLogProcessed->text());
  if (Ui().SaveFileDialog("Save As", LogFileFilter, "log", path)) edLogProcessed->setText(FromAnsi(path));
}

void TfrmMainBasic::CancelClicked() {
  if (FCurrentPage == PageCount) {
    FWizardCompleted = true;
    ExecuteConversion();
  } else {
    close();
  }
}

void TfrmMainBasic::StopClicked() {
  btnStop->hide();
  btnCancel->show();
  FDriver->Stop();
}

void TfrmMainBasic::ExecuteConversion() {
  if (FRunning) return;
  FDriver->Settings = CurrentSettings();
  try {
    // The export settings file as it is now; a bad one stops the run before it starts.
    if (OffersWholeWorkbook(FDriver->Settings.rgDestination)) LoadExportSpec(FDriver->Settings.Destination);
    // Execute after a run converts the checked files again: a fresh list.
    const auto& items = FDriver->WorkItems();
    if (!items.empty() && std::none_of(items.begin(), items.end(),
                                       [](const TWorkItem& w) { return w.Status == TItemState::Waiting; }))
      FDriver->BuildWorkList();
    FDriver->ExecuteConversion();
  } catch (const Exception& e) {
    Ui().MessageBox(e.Message(), ProductName, MB_OK | MB_ICONERROR);
  } catch (const std::exception& e) {
    Ui().MessageBox(e.what(), ProductName, MB_OK | MB_ICONERROR);
  }
  if (FRunning) RunEnded(TRunOutcome::roCanceled);  // the core raised before restoring us
  if (!FDriver->LogError().empty())
    Ui().MessageBox(Format(MsgLogIncomplete, FDriver->Settings.edLogProcessed.c_str(), FDriver->LogError().c_str()),
                    ProductName, MB_OK | MB_ICONWARNING);
  if (FCloseAfterRun) {
    FCloseAfterRun = false;
    close();
  }
}

void TfrmMainBasic::UpdateSummary() {
  const TJobSettings& s = FDriver->Settings;
  QString text = QStringLiteral("From: %1 (%2%3)\nTo: %4 as %5%6")
                     .arg(FromAnsi(s.edSourceName), FromAnsi(EffectiveMask(s.edSourceWildcard)),
                          s.chkSubFolders ? QStringLiteral(", with sub-folders") : QString(),
                          FromAnsi(s.edDestinationName), rgDestination->Item(rgDestination->ItemIndex()).remove('&'),
                          s.chkOverwrite ? QStringLiteral(", replacing existing files")
                                         : QStringLiteral(", keeping existing files"));
  if (s.chkLogProcessed) text += QStringLiteral("\nLog: %1").arg(FromAnsi(s.edLogProcessed));
  lblSummary->setText(text);
}

void TfrmMainBasic::ShowStatusInFull(QTreeWidgetItem* item) {
  const int index = lvProgress->indexOfTopLevelItem(item);
  if (index < 0 || size_t(index) >= FDriver->WorkItems().size()) return;
  const TWorkItem& w = FDriver->WorkItems()[size_t(index)];
  Ui().MessageBox(w.Caption + "\n\n" + StatusText(w), ProductName,
                  MB_OK | (w.Status == TItemState::Error ? MB_ICONERROR : MB_ICONINFORMATION));
}

void TfrmMainBasic::SelectAll() {
  FDriver->SetAllCandidatesChecked(true);
  RefreshCandidateChecks();
}

void TfrmMainBasic::UnselectAll() {
  FDriver->SetAllCandidatesChecked(false);
  RefreshCandidateChecks();
}

void TfrmMainBasic::RevertSelection() {
  FDriver->InvertCandidates();
  RefreshCandidateChecks();
}

void TfrmMainBasic::RefreshCandidateChecks() {
  QTreeWidget* list = GetFileListView();
  const auto& items = FDriver->Candidates();
  // One batch: no repaint and no write-back per item.
  list->setUpdatesEnabled(false);
  FFillingList = true;
  for (int i = 0; i < list->topLevelItemCount() && size_t(i) < items.size(); ++i)
    list->topLevelItem(i)->setCheckState(0, items[size_t(i)].Checked ? Qt::Checked : Qt::Unchecked);
  FFillingList = false;
  list->setUpdatesEnabled(true);
}

void TfrmMainBasic::CandidateItemChanged(QTreeWidgetItem* item, int column) {
  if (FFillingList || column != 0) return;
  const int index = lvFileName->indexOfTopLevelItem(item);
  if (index >= 0 && size_t(index) < FDriver->Candidates().size())
    FDriver->SetCandidateChecked(size_t(index), item->checkState(0) == Qt::Checked);
}

// ------------------------------------------------------------- list display

void TfrmMainBasic::CandidatesCleared() {
  FFillingList = true;
  lvFileName->clear();
  FFillingList = false;
}

void TfrmMainBasic::CandidateAdded(size_t index) {
  const TCandidateItem& c = FDriver->Candidates().at(index);
  // Where it was found, from the source folder on; the whole path in the tooltips.
  auto* item = new QTreeWidgetItem({FromAnsi(c.Caption), RelativePath(c.Directory, FListedSource)});
  item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
  item->setCheckState(0, c.Checked ? Qt::Checked : Qt::Unchecked);
  item->setToolTip(0, FromAnsi(IncludeTrailingPathDelimiter(c.Directory) + c.Caption));
  item->setToolTip(1, FromAnsi(c.Directory));
  FFillingList = true;
  lvFileName->addTopLevelItem(item);
  FFillingList = false;
}

void TfrmMainBasic::WorkListCleared() { lvProgress->clear(); }

void TfrmMainBasic::WorkItemAdded(size_t index) {
  auto* item = new QTreeWidgetItem;
  item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  lvProgress->addTopLevelItem(item);
  ShowWorkItem(index);
}

void TfrmMainBasic::WorkItemChanged(size_t index) {
  ShowWorkItem(index);
  if (!FRunning) return;
  // One step per item passed, so the bar ends full when the run does.
  const bool inProgress = FDriver->WorkItems().at(index).Status == TItemState::InProgress;
  FItemsPassed = inProgress ? int(index) : int(index) + 1;
  pbProcess->setValue(std::min(FItemsPassed * BarStepsPerItem, pbProcess->maximum()));
}

void TfrmMainBasic::ProcessMessages() {
  const uint32_t now = GetTickCount();
  if (FRunning && now - FProgressShown >= 100) {
    FProgressShown = now;
    int steps = FItemsPassed * BarStepsPerItem;
    for (const auto& r : FDriver->RunningItems()) {
      if (int(r.Index) >= FItemsPassed) steps += r.Permille * BarStepsPerItem / 1000;
      if (QTreeWidgetItem* item = lvProgress->topLevelItem(int(r.Index)); item && r.Permille > 0)
        item->setText(1, QStringLiteral("%1 (%2%, %3 s)")
                             .arg(QString::fromUtf8(StatusInProgress))
                             .arg(r.Permille / 10)
                             .arg(r.Milliseconds / 1000));
    }
    pbProcess->setValue(std::min(steps, pbProcess->maximum()));
  }
  Ui().ProcessMessages();
}

void TfrmMainBasic::ShowWorkItem(size_t index) {
  const TWorkItem& w = FDriver->WorkItems().at(index);
  QTreeWidgetItem* item = lvProgress->topLevelItem(int(index));
  if (!item) return;
  item->setText(0, RelativePath(w.Caption, FListedSource));
  item->setToolTip(0, FromAnsi(w.Caption));
  item->setText(1, FromAnsi(StatusText(w)));
  item->setToolTip(1, item->text(1));
  item->setText(2, FromAnsi(w.Time));
  item->setText(3, FromAnsi(w.Destination));
  item->setIcon(0, StatusIcon(w.ImageIndex));
  if (FRunning && w.Status == TItemState::InProgress) lvProgress->scrollToItem(item);
}

void TfrmMainBasic::RunStarted() {
  FRunning = true;
  btnStop->setEnabled(true);
  btnStop->show();
  btnCancel->hide();
  btnCancel->setEnabled(false);
  miFileExecute->setEnabled(false);
  pbProcess->setRange(0, std::max<int>(1, int(FDriver->WorkItems().size())) * BarStepsPerItem);
  pbProcess->setValue(0);
  FItemsPassed = 0;
  pbProcess->show();
  UpdatePage();
}

void TfrmMainBasic::RunEnded(TRunOutcome outcome) {
  if (outcome == TRunOutcome::roFinished || outcome == TRunOutcome::roNoDocuments)
    pbProcess->setValue(pbProcess->maximum());
  FRunning = false;
  btnStop->setEnabled(false);
  btnStop->hide();
  btnCancel->show();
  btnCancel->setEnabled(true);
  miFileExecute->setEnabled(true);
  pbProcess->hide();
  UpdatePage();
}

// ------------------------------------------------------------------ settings

std::string TfrmMainBasic::SettingsFileName() { return SettingsFilePath("varnowe"); }

void TfrmMainBasic::LoadSettings(TIniFile& ini) {
  TStoredSettings values;
  values.Job = CurrentSettings();
  // Only read: a file without them keeps following this machine's defaults.
  const TJobSettings defaults;
  values.Job.MaxOutputSize = defaults.MaxOutputSize;
  values.Job.MaxWorkbookMemory = defaults.MaxWorkbookMemory;
  values.Job.Compression = defaults.Compression;
  const int current = values.Job.rgDestination;
  ReadStoredSettings(ini, values, sgJob | sgDestination);
  const TJobSettings& s = values.Job;
  edSourceName->setText(FromAnsi(s.edSourceName));
  edDestinationName->setText(FromAnsi(s.edDestinationName));
  // An index no item has would run without writing anything: keep the default.
  rgDestination->SetItemIndex(s.rgDestination >= 0 && s.rgDestination < rgDestination->Count() ? s.rgDestination
                                                                                                : current);
  chkSubFolders->setChecked(s.chkSubFolders);
  chkOverwrite->setChecked(s.chkOverwrite);
  chkLogProcessed->setChecked(s.chkLogProcessed);
  edLogProcessed->setText(FromAnsi(s.edLogProcessed));
  FMaxOutputSize = s.MaxOutputSize;
  FMaxWorkbookMemory = s.MaxWorkbookMemory;
  FCompression = s.Compression;
  SetDestinationOptions(s.Destination);
  UpdateLogControls();
}

void TfrmMainBasic::SaveSettings(TIniFile& ini) {
  TStoredSettings values;
  values.Job = CurrentSettings();
  WriteStoredSettings(ini, values, sgJob | sgDestination);
}

void TfrmMainBasic::LoadSettingsFile() {
  try {
    TIniFile ini(SettingsFileName());
    LoadSettings(ini);
  } catch (const std::exception&) {
    // An unreadable file gives the defaults.
  }
}

void TfrmMainBasic::SaveSettingsFile() {
  try {
    const std::string path = SettingsFileName();
    const std::string dir = ExtractFileDir(path);
    if (!dir.empty()) ForceDirectories(dir);
    TIniFile ini(path);
    SaveSettings(ini);
    ini.UpdateFile();
  } catch (const std::exception&) {
    // Writing fails silently, as the INI service does.
  }
}

// ------------------------------------------------- folder or files to start with

namespace {

// The deepest folder holding both (paths made canonical first).
std::filesystem::path CommonFolder(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::filesystem::path common;
  for (auto i = a.begin(), j = b.begin(); i != a.end() && j != b.end() && *i == *j; ++i, ++j) common /= *i;
  return common;
}

std::filesystem::path Canonical(const std::string& path) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
  return ec ? std::filesystem::path(path) : p;
}

}  // namespace

void TfrmMainBasic::OpenWith(const std::vector<std::string>& paths) {
  FStartPaths = paths;
  if (FSettingsLoaded) ApplyStartPaths();
}

void TfrmMainBasic::ApplyStartPaths() {
  if (FStartPaths.empty()) return;
  std::filesystem::path folder;
  bool first = true, files = false;
  FStartFiles.clear();
  for (const std::string& path : FStartPaths) {
    const std::filesystem::path p = Canonical(path);
    std::error_code ec;
    const bool directory = std::filesystem::is_directory(p, ec);
    FStartFiles.insert(p.string());
    files = files || !directory;
    const std::filesystem::path here = directory ? p : p.parent_path();
    folder = first ? here : CommonFolder(folder, here);
    first = false;
  }
  FStartPaths.clear();
  edSourceName->setText(FromAnsi(folder.string()));
  FStartFolder = Trim(ToAnsi(edSourceName->text()));
  if (files) {
    // Every file named must be found, whatever the stored mask said.
    edSourceWildcard->setText(QStringLiteral("*.*"));
    for (const std::string& named : FStartFiles)
      if (Canonical(named).parent_path() != folder) chkSubFolders->setChecked(true);
  } else {
    FStartFiles.clear();  // folders only: the usual ticks
  }
  GoToPage(2);
}

void TfrmMainBasic::TickStartFiles() {
  if (FStartFiles.empty() || FListedSource != FStartFolder) return;
  const auto& items = FDriver->Candidates();
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string path = Canonical(IncludeTrailingPathDelimiter(items[i].Directory) + items[i].Caption).string();
    // A named file, or a file below a named folder.
    bool named = false;
    for (const std::string& n : FStartFiles)
      named = named || path == n || (path.size() > n.size() && path.compare(0, n.size(), n) == 0 && path[n.size()] == '/');
    // Only what the front end accepts may be ticked.
    if (!named || items[i].Checked) FDriver->SetCandidateChecked(i, named);
  }
  RefreshCandidateChecks();
  FStartFiles.clear();  // once: later visits keep the user's ticks
}

// ----------------------------------------------------------------- lifecycle

void TfrmMainBasic::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!FSettingsLoaded) {
    FSettingsLoaded = true;
    LoadSettingsFile();
    ApplyStartPaths();
  }
  if (!FCentred) {
    FCentred = true;
    // As narrow as the contents allow, as tall as they like (a group box
    // below its preferred height squeezes its items).
    const QSize client(std::max(ClientWidth, centralWidget()->minimumSizeHint().width()),
                       std::max(ClientHeight, centralWidget()->sizeHint().height()));
    resize(client.width(), client.height() + menuBar()->sizeHint().height());
    if (QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen()) {
      const QRect area = screen->availableGeometry();
      // Never larger than the screen's free area (down to the minimum size).
      const QSize decoration = frameGeometry().size() - size();
      resize(size().boundedTo(area.size() - decoration).expandedTo(minimumSizeHint()));
      const QRect frame = frameGeometry();
      move(area.center() - QPoint(frame.width() / 2, frame.height() / 2));
    }
  }
}

void TfrmMainBasic::closeEvent(QCloseEvent* event) {
  if (FRunning) {
    // Finish the file in hand, then close; the readers must not vanish mid-file.
    FCloseAfterRun = true;
    if (btnStop->isVisible()) StopClicked();
    event->ignore();
    return;
  }
  if (!FWizardCompleted &&
      Ui().MessageBox(NotCompletedQuestion, ProductName, MB_YESNO | MB_ICONQUESTION) != IDYES) {
    event->ignore();
    return;
  }
  // Never loaded means never shown: saving now would replace the user's file with defaults.
  if (FSettingsLoaded) SaveSettingsFile();
  event->accept();
}
