#pragma once
// The format-neutral wizard window: six pages with hidden tabs, the header
// panel, the logo strip, the buttons and menus, and the job's two lists. The
// batch job itself is the toolkit-free TBatchDriver; this window shows its
// lists and forwards the driver's hooks to its own virtual hooks, which a
// format-specific window (TfrmMain) overrides.
#include <QGroupBox>
#include <QMainWindow>
#include <QTreeWidget>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "BatchDriver.h"

class QAction;
class QBoxLayout;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QStackedWidget;
class QVBoxLayout;
class TIniFile;
class TLinkLabel;

// A group of radio buttons chosen by index (-1 for none).
class TRadioGroup : public QGroupBox {
 public:
  explicit TRadioGroup(const QString& caption, QWidget* parent = nullptr);
  void SetItems(const QStringList& items);
  int Count() const;
  QString Item(int index) const;
  int ItemIndex() const;
  // Out of range values are clamped to the last item or -1, as the old control did.
  void SetItemIndex(int index);
  QRadioButton* Button(int index) const;

 private:
  QVBoxLayout* FLayout;
  QButtonGroup* FGroup;
};

// Paints the orange strip with the product name (pbLogo).
class TLogoStrip : public QWidget {
 public:
  explicit TLogoStrip(QWidget* parent = nullptr);

 protected:
  void paintEvent(QPaintEvent* event) override;
};

class TfrmMainBasic : public QMainWindow, private IBatchView {
 public:
  static constexpr int PageCount = 6;
  // The least client area; the window may be enlarged.
  static constexpr int ClientWidth = 540;
  static constexpr int ClientHeight = 504;

  explicit TfrmMainBasic(QWidget* parent = nullptr);
  ~TfrmMainBasic() override;

  // A folder, or files, named when the window was started: the Source page
  // opens at the folder (the files' common folder, searched below when they
  // lie in several) over the stored settings, and only the files named stay
  // ticked in the file list. Paths must exist.
  void OpenWith(const std::vector<std::string>& paths);

  // Navigation.
  int CurrentPage() const { return FCurrentPage; }
  virtual void GoToPage(int page);
  virtual void UpdatePage();
  virtual bool IsPageValid();
  virtual QTreeWidget* GetFileListView();
  // Next (or >>) on the Source page: a missing source folder is reported and
  // the page stays; true when the move may go on.
  bool SourceFolderConfirmed();
  // Next (or >>) on the Options page: a separator or name template that
  // cannot be used is reported and the page stays.
  bool OptionsConfirmed();
  // Shows the Options page's controls that the chosen destination format
  // uses; the base shows them all.
  virtual void UpdateOptionsPage();

  // The destination options as the Options page shows them, and back.
  TDestinationOptions DestinationOptions() const;
  void SetDestinationOptions(const TDestinationOptions& options);
  // The "Clean data" button.
  void ApplyCleanData();
  // The export settings buttons: a file chosen is read and checked (a bad
  // one is reported naming its line, and the settings stay as they were);
  // saving writes what the components of the chosen format get in a run.
  void LoadExportSettings();
  void SaveExportSettings();
  void ClearExportSettings();

  // Driver hooks; the base accepts nothing, answers no extension, converts nothing.
  virtual bool IsFileAccepted(const std::string& name);
  virtual std::string GetDestinationExt();
  virtual void CreateConverters();
  virtual void FreeConverters();
  virtual void ConvertFile(const std::string& sourcePath, const std::string& destinationPath);

  // Settings: every control from/to the INI file (base keys; TfrmMain adds its own).
  virtual void LoadSettings(TIniFile& ini);
  virtual void SaveSettings(TIniFile& ini);
  // The settings file of this program: SettingsFilePath("varnowe").
  static std::string SettingsFileName();

  // Runs the work list (Execute on the last page, File > Execute). Errors
  // that stop the run from starting (an unwritable log) are shown.
  void ExecuteConversion();
  bool WizardCompleted() const { return FWizardCompleted; }

  // Selection commands of lvFileName's pop-up menu.
  void SelectAll();
  void UnselectAll();
  void RevertSelection();

  // The job settings as the controls hold them now.
  TJobSettings CurrentSettings() const;
  TBatchDriver& Driver();

  // Controls, by their published names (also their Qt object names).
  QFrame* pnlDescription;
  QLabel* lblCaption;
  QLabel* lblDescription;
  QLabel* imgBackground;
  QLabel* imgDescription;
  QStackedWidget* pcWizard;
  QWidget* tsInfo;
  QWidget* tsSource;
  QWidget* tsDestination;
  QWidget* tsOptions;
  QWidget* tsFileList;
  QWidget* tsLog;
  QLabel* lblGeneralInfo;
  QLineEdit* edSourceName;
  QPushButton* btnSourceName;
  QLineEdit* edSourceWildcard;
  QCheckBox* chkSubFolders;
  QLineEdit* edDestinationName;
  QPushButton* btnDestinationName;
  QCheckBox* chkOverwrite;
  TRadioGroup* rgDestination;
  QCheckBox* chkLogProcessed;
  QLineEdit* edLogProcessed;
  QPushButton* btnLogProcessed;
  QGroupBox* gbTextOptions;
  QCheckBox* chkBanner;
  QCheckBox* chkExtraRowColumn;
  QLabel* lblSeparator;
  QComboBox* cbSeparator;  // editable: a named separator or one character
  QLabel* lblQuoting;
  QComboBox* cbQuoting;
  QLabel* lblLineEnd;
  QComboBox* cbLineEnd;
  QLabel* lblEncoding;
  QComboBox* cbEncoding;
  QCheckBox* chkHtmlTitle;
  QPushButton* btnCleanData;
  // Page settings as stored, where the page shows less.
  int FRepeatRows = 0;
  TQXEPageOrder FPageOrder = epoDownThenAcross;
  std::pair<bool, bool> FPageLines{true, true};
  QGroupBox* gbWorkbook;  // .xls, .xlsx, PDF: one output per sheet or per workbook
  QRadioButton* rbSheetFiles;
  QRadioButton* rbWholeWorkbook;
  // PDF pages (shown for PDF only).
  QWidget* pnlPageSetup;
  QComboBox* cbPaperSize;
  QComboBox* cbOrientation;
  QComboBox* cbFit;
  QLineEdit* edMargins;
  QCheckBox* chkFirstRowHeader;
  QCheckBox* chkPageLines;  // the header and footer lines
  QBoxLayout* wbChoices;  // the two whole-workbook choices
  // A specification file of the export components for every .xls, .xlsx
  // and PDF output: which one (none: their defaults), load, save, forget.
  QLabel* lblExportSpec;
  QPushButton* btnLoadExportSpec;
  QPushButton* btnSaveExportSpec;
  QPushButton* btnClearExportSpec;
  QGroupBox* gbOutputFiles;
  QComboBox* cbNames;  // as always, "book - Sheet1", own template
  QLineEdit* edNameTemplate;
  QComboBox* cbSheets;  // all, first, matching
  QComboBox* cbValues;  // as the format suits, as stored, as displayed, for data tools
  QLineEdit* edSheetMask;
  QCheckBox* chkKeepFolderTree;
  QTreeWidget* lvFileName;
  QLabel* lblSummary;  // what the run will do: from where, to where, as what
  QProgressBar* pbProcess;
  QTreeWidget* lvProgress;
  TLogoStrip* pbLogo;
  TLinkLabel* lblProductURL;
  QPushButton* btnFirst;
  QPushButton* btnPrev;
  QPushButton* btnNext;
  QPushButton* btnLast;
  QPushButton* btnCancel;
  QPushButton* btnStop;
  QMenu* miFile;
  QAction* miFileSource;
  QAction* miFileDestination;
  QAction* miFileExecute;
  QAction* miFileExit;
  QMenu* miHelp;
  QAction* miHelpContents;
  QAction* miHelpHomepage;
  QAction* miHelpMail;
  QAction* miHelpAbout;
  QMenu* pmFileName;
  QAction* miSelectAll;
  QAction* miUnselectAll;
  QAction* miRevert;

 protected:
  // The Source page's layout, for the controls a subclass adds below the mask.
  QVBoxLayout* SourcePageLayout() const { return FSourceLayout; }

  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  class TWindowDriver;

  void CreateControls();
  void CreateMenus();
  QWidget* CreatePage(const char* name, QVBoxLayout*& layout);
  void BrowseFolder(int tag);
  void BrowseLogFile();
  void UpdateLogControls();
  void CreateOptionControls(QVBoxLayout* page);
  void UpdateOutputControls();
  // The chosen format writes one output per source.
  bool WholeWorkbookChosen() const;
  void StopClicked();
  void CancelClicked();
  void RefreshCandidateChecks();
  void CandidateItemChanged(QTreeWidgetItem* item, int column);
  void ShowWorkItem(size_t index);
  void LoadSettingsFile();
  void ApplyStartPaths();
  void UpdateSummary();
  void ShowStatusInFull(QTreeWidgetItem* item);
  void TickStartFiles();
  void SaveSettingsFile();

  // IBatchView
  void CandidatesCleared() override;
  void CandidateAdded(size_t index) override;
  void WorkListCleared() override;
  void WorkItemAdded(size_t index) override;
  void WorkItemChanged(size_t index) override;
  void RunStarted() override;
  void RunEnded(TRunOutcome outcome) override;
  // Between files and while one converts: how far the files in progress
  // have come, on the bar and in their status.
  void ProcessMessages() override;

  std::unique_ptr<TWindowDriver> FDriver;
  QVBoxLayout* FSourceLayout = nullptr;
  std::string FListedSource;  // the source folder the lists were built from
  std::string FExportSpec;    // the export settings file in use ("" none)
  std::vector<std::string> FExportSpecLines;
  void ShowExportSpec();
  std::vector<std::string> FStartPaths;  // OpenWith's paths until shown
  std::set<std::string> FStartFiles;      // the files and folders to keep ticked, made canonical
  std::string FStartFolder;               // the Source folder they were given for
  int FCurrentPage = 0;
  bool FWizardCompleted = false;
  bool FSettingsLoaded = false;
  bool FCentred = false;
  bool FFillingList = false;
  bool FCloseAfterRun = false;
  bool FRunning = false;
  bool FBusy = false;  // a list is being built; navigation waits
  // The bar counts hundredths of items: the items passed, then the
  // fractions of those in progress.
  static constexpr int BarStepsPerItem = 100;
  int FItemsPassed = 0;
  uint32_t FProgressShown = 0;  // tick count of the last update
  // The budgets (section "Options"), which have no controls.
  int64_t FMaxOutputSize = DefaultOutputBudget;
  int64_t FMaxWorkbookMemory = DefaultWorkbookMemoryBudget();
  TZipCompression FCompression = zcDefault;
};
