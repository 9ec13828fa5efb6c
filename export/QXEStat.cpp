#include "QXEStat.h"

#include <array>

namespace {

struct TMessage {
  int Index;
  const char* Text;
};

// Indices 52 to 60 have no text; the option-page labels keep their fixed
// indices although this program has no set-up dialog.
const TMessage Messages[] = {
    {0, "Property %s is not specified."},
    {1, "Assigned DBGrid (%s) is not a supported type"},
    {2, "The %s file was successfully generated."},
    {3, "Error in data export."},
    {4, "Data export was successfully completed."},
    {5, "Could not create the %s file."},
    {6, "Data exported by QXExport generator"},
    {7, "File %s already exists. Do you want to replace it?"},
    {8, "Exporting..."},
    {9, "Can't create a process dialog"},
    {10, "Data Export Setup"},
    {11, "&OK"},
    {12, "&Cancel"},
    {13, "< &Back"},
    {14, "&Next >"},
    {15, "&Execute"},
    {16, "Data export was canceled by user."},
    {17, "Export Wizard"},
    {18, "Step %d of %d"},
    {19, "Wizard is incomplete. If you quit the Wizard now, the new export will not be created. Abort wizard?"},
    {20, "This wizard allows you to specify details of how to export your data. Which export format would you "
         "like?"},
    {21, "Specify custom options for data exporting"},
    {22, "Select the appropriate delimiter to separate your fields."},
    {23, "You can define custom properties for the exported columns."},
    {24, "You can add a custom header and/or footer."},
    {25, "That's all of the information the wizard needs to export your data."},
    {26, "Header"},
    {27, "Footer"},
    {28, " Table type "},
    {29, "Paradox file (*.db)"},
    {30, "DBase file (*.dbf)"},
    {31, "Text file (*.txt)"},
    {32, "HTML file (*.htm)"},
    {33, "Excel spreadsheet (*.xls)"},
    {34, "Excel file (*.xls)"},
    {35, "Word file (*.doc)"},
    {36, "SYLK (Symbolic Link) (*.slk)"},
    {37, "DIF (Data Interchange Format) (*.dif)"},
    {38, "Lotus 1-2-3 file (*.wk1)"},
    {39, "QuattroPro file (*.wq1)"},
    {40, "SQL script file (*.sql)"},
    {41, "XML file (*.xml)"},
    {42, "MS Access database (*.mdb, *.accdb)"},
    {43, "MS Windows clipboard"},
    {44, "Rich Text format (*.rtf)"},
    {45, "SPSS format (*.sav)"},
    {46, "Adobe Acrobat Document (*.pdf)"},
    {47, "LDAP DataInterchangeFormat (*.ldif)"},
    {48, "ADO connection"},
    {49, "Open Office Writer"},
    {50, "MS Excel 2007 (*.xlsx)"},
    {51, "JavaScript Object Notation (*.json)"},
    {61, "File Origin:"},
    {62, "Selected records only"},
    {63, "Include column titles"},
    {64, "Put field titles on the first row"},
    {65, "Blank if zero"},
    {66, "Action after exporting"},
    {67, "None"},
    {68, "open for file view"},
    {69, "e-mail with file attachment"},
    {70, " Field delimiter "},
    {71, "Tab"},
    {72, "Semicolon"},
    {73, "Comma"},
    {74, "Space"},
    {75, "Other symbol:"},
    {76, "Fixed column length"},
    {77, "&Delimited - Characters such as commas or tabs separate each field"},
    {78, "Fixed &Width - Fields are aligned in columns with spaces between each field"},
    {79, "Export to a File:"},
    {80, "Export to"},
    {81, "All files (*.*)|*.*"},
    {82, "Table name:"},
    {83, " Title "},
    {84, " Data "},
    {85, "Caption:"},
    {86, "Alignment:"},
    {87, "Background:"},
    {88, "Font:"},
    {89, "Width:"},
    {90, "characters"},
    {91, "left"},
    {92, "right"},
    {93, "center"},
    {94, "Specifications..."},
    {95, "Record separator:"},
    {96, "Text qualifier:"},
    {97, "none"},
    {98, "Records per each file"},
    {99, "You can select desired layout of exported data"},
    {100, " Layout "},
    {101, "columnar"},
    {102, "reversed columnar"},
    {103, "tabular form"},
    {104, "Color Style:"},
    {105, "Select &All"},
    {106, "&Unselect All"},
    {107, "&Revert selection"},
    {108, "add a blank row after field names"},
    {109, "Preview"},
    {110, " Dates, Times and Numbers "},
    {111, "Date &Order:"},
    {112, "MDY"},
    {113, "DMY"},
    {114, "YMD"},
    {115, "YDM"},
    {116, "DYM"},
    {117, "MYD"},
    {118, "Date De&limiter:"},
    {119, "Time Deli&miter:"},
    {120, "Four Digit &Years"},
    {121, "Leading &Zeros in Dates"},
    {122, "Decimal Sym&bol:"},
    {123, "&Thousand Separator:"},
    {124, "&Currency Symbol:"},
    {125, "Logical values:"},
    {126, "You can define any custom data formats."},
    {127, "Merge existing file"},
    {128, "File Format"},
    {129, "Data Origin"},
    {130, "Text Settings"},
    {131, "Data Formats"},
    {132, "Columns"},
    {133, "Header and Footer"},
    {134, "Layout"},
    {135, "File Name"},
    {136, "export data and colors/fonts"},
    {137, "export data only"},
    {138, "export the original value types"},
    {139, "Sheet/generator name:"},
    {140, " Orientation "},
    {141, "Default"},
    {142, "Portrait"},
    {143, "Landscape"},
    {144, " Default &Margins "},
    {145, "Left"},
    {146, "Top"},
    {147, "Right"},
    {148, "Bottom"},
    {149, "Page Setup"},
    {150, "Customize settings for page"},
    {151, "Insert system variable"},
    {152, "row number"},
    {153, "column number"},
    {154, "total row count"},
    {155, "error number"},
    {156, "sheet name (generator)"},
    {157, "Autofit column widths"},
    {158, "SQL Settings"},
    {159, "Define custom settings for SQL script."},
    {160, "Filter name:"},
    {161, "include CREATE TABLE statement"},
    {162, "generate MULTIROW inserts"},
    {163, "Charset for field names:"},
    {164, " SQL "},
    {165, "Commit:"},
    {166, "Quote:"},
    {167, "SQL Term:"},
    {168, "include COMMIT statement every (n) records:"},
    {169, "Normal"},
    {170, "Upper case"},
    {171, "Lower case"},
    {172, "Proper"},
};

const std::array<std::string, qxmLastMessage + 1>& Table() {
  static const std::array<std::string, qxmLastMessage + 1> table = [] {
    std::array<std::string, qxmLastMessage + 1> t;
    for (const TMessage& m : Messages) t[size_t(m.Index)] = m.Text;
    return t;
  }();
  return table;
}

}  // namespace

const std::string& QXEMessageText(int index) {
  static const std::string empty;
  if (index < 0 || index > qxmLastMessage) return empty;
  return Table()[size_t(index)];
}

std::string FormatMessageText(const std::string& pattern, const std::string& value) {
  for (size_t i = 0; i + 1 < pattern.size(); ++i)
    if (pattern[i] == '%' && (pattern[i + 1] == 's' || pattern[i + 1] == 'd'))
      return pattern.substr(0, i) + value + pattern.substr(i + 2);
  return pattern;
}
