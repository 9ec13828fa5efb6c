#pragma once
// The export family's progress window: an animation of pages moving from
// one folder to another, a status line, a bar and a Cancel button (OK at the
// end). Closing it is the same as Cancel.
#include <QDialog>
#include <QPointer>

#include "UiServices.h"

class QFrame;
class QLabel;
class QProgressBar;
class QPushButton;
class QTimer;

// The "copying files" animation: a page flies from the left folder to the
// right one, 36 frames; stopped it shows its stop frame.
class TQXECopyAnimation : public QWidget {
 public:
  static constexpr int FrameCount = 36;
  static constexpr int StopFrame = 34;
  explicit TQXECopyAnimation(QWidget* parent = nullptr);
  void Play();
  void Stop();
  bool Playing() const;
  int Frame() const { return FFrame; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QTimer* FTimer;
  int FFrame = StopFrame;
};

class TfrmQXEProcess : public QDialog, public TProgressWindow {
 public:
  explicit TfrmQXEProcess(QWidget* parent = nullptr);

  QFrame* Bevel;
  TQXECopyAnimation* Animation;
  QLabel* lblStatus;
  QProgressBar* ProgressBar;
  QPushButton* btnCancel;

  void SetCaption(const std::string& text) override;
  void SetStatus(const std::string& text) override;
  void SetButtonCaption(const std::string& text) override;
  void SetRange(int32_t min, int32_t max) override;
  void SetPosition(int32_t position) override;
  int32_t Position() const override;
  int32_t Max() const override;
  void StartAnimation() override;
  void StopAnimation() override;
  void Show() override;
  void Repaint() override;
  bool CancelRequested() const override { return FCancelRequested; }
  void SetCancelRequested(bool value) override { FCancelRequested = value; }
  void WaitForButton() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  void reject() override;

 private:
  void ButtonPressed();
  bool FCancelRequested = false;
  bool FButtonPressed = false;
  bool FWaiting = false;
};
