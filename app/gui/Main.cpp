// The model headers first: they must not see Qt's keyword macros.
#include "ConversionFrontEnd.h"
#include "IniFile.h"
#include "Main.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QStringList>
#include <QVBoxLayout>

namespace {

QCheckBox* SourceCheck(const char* name, const char* caption, QGroupBox* box) {
  auto* c = new QCheckBox(QString::fromUtf8(caption), box);
  c->setObjectName(QString::fromLatin1(name));
  c->setChecked(true);
  box->layout()->addWidget(c);
  return c;
}

}  // namespace

TfrmMain::TfrmMain(QWidget* parent)
    : TfrmMainBasic(parent), FConversion(std::make_unique<TSpreadsheetConversion>()) {
  gbSource = new QGroupBox(QString::fromUtf8(SourceFormatsCaption), tsSource);
  gbSource->setObjectName(QStringLiteral("gbSource"));
  auto* l = new QVBoxLayout(gbSource);
  l->setSpacing(4);
  chkMSExcel = SourceCheck("chkMSExcel", MSExcelCaption, gbSource);
  chkLotus = SourceCheck("chkLotus", LotusCaption, gbSource);
  chkQuattroPro = SourceCheck("chkQuattroPro", QuattroProCaption, gbSource);
  chkOpenOffice = SourceCheck("chkOpenOffice", OpenOfficeCaption, gbSource);
  SourcePageLayout()->addWidget(gbSource);

  QStringList items;
  for (const TDestinationFormat& f : DestinationFormats) items << QString::fromUtf8(f.ItemText);
  rgDestination->SetItems(items);
  rgDestination->SetItemIndex(0);
  // The outputs go into the processed-files log.
  FConversion->OnOutputWritten = [this](const std::string& path) { Driver().NoteOutput(path); };
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::SyncSourceFormats() {
  FConversion->chkMSExcel = chkMSExcel->isChecked();
  FConversion->chkLotus = chkLotus->isChecked();
  FConversion->chkQuattroPro = chkQuattroPro->isChecked();
  FConversion->chkOpenOffice = chkOpenOffice->isChecked();
}

bool TfrmMain::IsFileAccepted(const std::string& name) {
  TfrmMainBasic::IsFileAccepted(name);
  SyncSourceFormats();
  return FConversion->IsFileAccepted(name);
}

std::string TfrmMain::GetDestinationExt() {
  const std::string ext = FConversion->GetDestinationExt(rgDestination->ItemIndex());
  return ext.empty() ? TfrmMainBasic::GetDestinationExt() : ext;
}

void TfrmMain::CreateConverters() {
  TfrmMainBasic::CreateConverters();
  FConversion->CreateConverters();
}

void TfrmMain::FreeConverters() {
  FConversion->FreeConverters();
  TfrmMainBasic::FreeConverters();
}

void TfrmMain::ConvertFile(const std::string& sourcePath, const std::string& destinationPath) {
  TfrmMainBasic::ConvertFile(sourcePath, destinationPath);
  // The format is read for every file: what the window shows when Execute is pressed.
  // The run's item lets the conversion poll Stop, keep the budgets and record its outputs.
  FConversion->ConvertFile(sourcePath, destinationPath, rgDestination->ItemIndex(), Driver().CurrentItem());
}

void TfrmMain::LoadSettings(TIniFile& ini) {
  TfrmMainBasic::LoadSettings(ini);
  chkMSExcel->setChecked(ini.ReadBool("SourceFormat", "excel", chkMSExcel->isChecked()));
  chkLotus->setChecked(ini.ReadBool("SourceFormat", "lotus", chkLotus->isChecked()));
  chkQuattroPro->setChecked(ini.ReadBool("SourceFormat", "quattro", chkQuattroPro->isChecked()));
  chkOpenOffice->setChecked(ini.ReadBool("SourceFormat", "ods", chkOpenOffice->isChecked()));
}

void TfrmMain::SaveSettings(TIniFile& ini) {
  TfrmMainBasic::SaveSettings(ini);
  ini.EraseSection("SourceFormat");
  ini.WriteBool("SourceFormat", "excel", chkMSExcel->isChecked());
  ini.WriteBool("SourceFormat", "lotus", chkLotus->isChecked());
  ini.WriteBool("SourceFormat", "quattro", chkQuattroPro->isChecked());
  ini.WriteBool("SourceFormat", "ods", chkOpenOffice->isChecked());
}
