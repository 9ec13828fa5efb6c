#include "FormatRenderNames.h"

namespace format_render_detail {

namespace {

// Short months, long months, short days, long days, "|" between names.
struct TLanguageNames {
  uint16_t Language;  // the primary language of a locale id
  const char* Names;
};
const TLanguageNames Languages[] = {
    {0x09, "Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec|January|February|March|April|May|June|July|August|"
           "September|October|November|December|Sun|Mon|Tue|Wed|Thu|Fri|Sat|Sunday|Monday|Tuesday|Wednesday|"
           "Thursday|Friday|Saturday"},
    {0x07, "Jan|Feb|Mär|Apr|Mai|Jun|Jul|Aug|Sep|Okt|Nov|Dez|Januar|Februar|März|April|Mai|Juni|Juli|August|"
           "September|Oktober|November|Dezember|So|Mo|Di|Mi|Do|Fr|Sa|Sonntag|Montag|Dienstag|Mittwoch|Donnerstag|"
           "Freitag|Samstag"},
    {0x0C, "janv.|févr.|mars|avr.|mai|juin|juil.|août|sept.|oct.|nov.|déc.|janvier|février|mars|avril|mai|juin|"
           "juillet|août|septembre|octobre|novembre|décembre|dim.|lun.|mar.|mer.|jeu.|ven.|sam.|dimanche|lundi|"
           "mardi|mercredi|jeudi|vendredi|samedi"},
    {0x0A, "ene|feb|mar|abr|may|jun|jul|ago|sep|oct|nov|dic|enero|febrero|marzo|abril|mayo|junio|julio|agosto|"
           "septiembre|octubre|noviembre|diciembre|dom|lun|mar|mié|jue|vie|sáb|domingo|lunes|martes|miércoles|"
           "jueves|viernes|sábado"},
    {0x10, "gen|feb|mar|apr|mag|giu|lug|ago|set|ott|nov|dic|gennaio|febbraio|marzo|aprile|maggio|giugno|luglio|"
           "agosto|settembre|ottobre|novembre|dicembre|dom|lun|mar|mer|gio|ven|sab|domenica|lunedì|martedì|"
           "mercoledì|giovedì|venerdì|sabato"},
    {0x13, "jan|feb|mrt|apr|mei|jun|jul|aug|sep|okt|nov|dec|januari|februari|maart|april|mei|juni|juli|augustus|"
           "september|oktober|november|december|zo|ma|di|wo|do|vr|za|zondag|maandag|dinsdag|woensdag|donderdag|"
           "vrijdag|zaterdag"},
    {0x16, "jan|fev|mar|abr|mai|jun|jul|ago|set|out|nov|dez|janeiro|fevereiro|março|abril|maio|junho|julho|agosto|"
           "setembro|outubro|novembro|dezembro|dom|seg|ter|qua|qui|sex|sáb|domingo|segunda-feira|terça-feira|"
           "quarta-feira|quinta-feira|sexta-feira|sábado"},
};
constexpr size_t LanguageCount = sizeof Languages / sizeof Languages[0];

TDateNames Split(const char* names) {
  TDateNames n;
  std::string_view* slots[38];
  size_t k = 0;
  for (auto& s : n.ShortMonths) slots[k++] = &s;
  for (auto& s : n.LongMonths) slots[k++] = &s;
  for (auto& s : n.ShortDays) slots[k++] = &s;
  for (auto& s : n.LongDays) slots[k++] = &s;
  std::string_view rest(names);
  for (std::string_view* slot : slots) {
    const size_t bar = rest.find('|');
    *slot = rest.substr(0, bar);
    rest = bar == std::string_view::npos ? std::string_view() : rest.substr(bar + 1);
  }
  n.Am = "AM";
  n.Pm = "PM";
  return n;
}

}  // namespace

const TDateNames* DateNamesOfLanguage(uint32_t lcid) {
  static const struct TAll {
    TDateNames Names[LanguageCount];
    TAll() {
      for (size_t k = 0; k < LanguageCount; ++k) Names[k] = Split(Languages[k].Names);
    }
  } all;
  const uint32_t language = lcid & 0x3FF;
  for (size_t k = 0; k < LanguageCount; ++k)
    if (Languages[k].Language == language) return &all.Names[k];
  return nullptr;
}

TDateNames SettingsDateNames(const TFormatSettings& fs) {
  TDateNames n;
  for (int k = 0; k < 12; ++k) n.ShortMonths[k] = fs.ShortMonthNames[k], n.LongMonths[k] = fs.LongMonthNames[k];
  for (int k = 0; k < 7; ++k) n.ShortDays[k] = fs.ShortDayNames[k], n.LongDays[k] = fs.LongDayNames[k];
  n.Am = fs.TimeAMString.empty() ? std::string_view("AM") : std::string_view(fs.TimeAMString);
  n.Pm = fs.TimePMString.empty() ? std::string_view("PM") : std::string_view(fs.TimePMString);
  return n;
}

}  // namespace format_render_detail
