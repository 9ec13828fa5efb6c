#pragma once
// The spreadsheet wizard: the source-format group on the Source page, the
// seven destination formats, and the hooks answered by the shared front end.
#include <memory>

#include "JobSettingsFile.h"
#include "MainBasic.h"

class QCheckBox;
class QGroupBox;
// Held by pointer: the model headers name a variable "slots", which Qt defines away.
class TSpreadsheetConversion;

class TfrmMain : public TfrmMainBasic {
 public:
  explicit TfrmMain(QWidget* parent = nullptr);
  ~TfrmMain() override;

  bool IsFileAccepted(const std::string& name) override;
  std::string GetDestinationExt() override;
  void CreateConverters() override;
  void FreeConverters() override;
  void ConvertFile(const std::string& sourcePath, const std::string& destinationPath) override;
  void LoadSettings(TIniFile& ini) override;
  void SaveSettings(TIniFile& ini) override;
  // The source families as the check boxes hold them now.
  TSourceFormats SourceFormats() const;
  // The text options of the chosen format only; none for the export formats.
  void UpdateOptionsPage() override;

  QGroupBox* gbSource;
  QCheckBox* chkMSExcel;
  QCheckBox* chkLotus;
  QCheckBox* chkQuattroPro;
  QCheckBox* chkOpenOffice;

 protected:
  TSpreadsheetConversion& Conversion() { return *FConversion; }

 private:
  void SyncSourceFormats();

  std::unique_ptr<TSpreadsheetConversion> FConversion;
};
