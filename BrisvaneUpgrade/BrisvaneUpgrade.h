// The upgrader's one window. It carries the whole upgrade: it receives the
// download request, downloads the installer, runs it, runs the post-install
// script, relaunches the client and closes.
#pragma once

#include <QDialog>
#include <QEvent>
#include <QPointer>
#include <QProgressBar>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "LogicSession.h"
#include "download_request.h"
#include "installer_run.h"
#include "installer_signature.h"
#include "outcome_writer.h"
#include "request_protocol.h"

// Posted by the installer worker when the installer has finished.
constexpr QEvent::Type kInstallDoneEventType = static_cast<QEvent::Type>(QEvent::User + 2);
// Posted by the installer worker when the installer could not be started.
constexpr QEvent::Type kInstallerNotStartedEventType = static_cast<QEvent::Type>(QEvent::User + 3);
// Posted by the installer worker when the installer failed its signature check.
constexpr QEvent::Type kInstallerRefusedEventType = static_cast<QEvent::Type>(QEvent::User + 4);

class BrisvaneUpgrade : public QDialog {
  Q_OBJECT

 public:
  // The single instance, constructed on first use (thread-safe), no parent.
  // Null once DestroyInstance has run; call it first on the GUI thread.
  static BrisvaneUpgrade* GetInstance();
  // Destroys the instance while the application object still exists.
  static void DestroyInstance();
  // Posts `e` to the instance if it still exists (any thread); frees `e` otherwise.
  static bool PostToInstance(QEvent* e);
  ~BrisvaneUpgrade() override;

  // Handles one upgrade request: `payload` is the installer URL as UTF-8
  // bytes, exactly as the sender delivered them, `requestId` the id it gave
  // (recorded in the outcome; every value is a plain id). Returns the reply
  // (platform::Reply): taken, or why not. Runs on the GUI thread.
  std::int32_t ReceiveRequest(const QByteArray& payload,
                              std::uint64_t requestId = platform::kNoRequestId);
  // Handles a withdrawal: closes the window, as Escape would, unless an
  // upgrade is under way. Returns the reply. Runs on the GUI thread.
  std::int32_t ReceiveWithdrawal();

  // Called once the window takes no more requests and before the client is
  // started again, so that the client's next request never meets a channel
  // that is closing (main stops the request server here). GUI thread only.
  void SetStopTakingRequests(std::function<void()> stop) { m_stopTakingRequests = std::move(stop); }

  // Full local path the installer is (or was last) downloaded to.
  const QString& InstallerPath() const { return m_installerPath; }
  // Body bytes the current (or last) download received, as it reported them.
  long long BytesReceived() const { return m_outcome.bytesReceived; }

  // Runs "command.bat" beside the executable, if present, waiting up to 60 s.
  // Returns the script's exit code when it ended by exiting.
  static std::optional<std::uint32_t> StartCommandScript();
  // Gives up the single-instance guard and starts "bvc.exe" beside the executable.
  static void StartBrisvane();

 signals:
  void SigUpdate(int nProgress);
  void SigDownloadCompleted(bool bSuccessful);
  // The installer's signature download ended with this CURLcode (0: done).
  void SigSignatureDownloaded(int nCode);

 public slots:
  void SlotUpdateProgress(int nProgress);
  void SlotDownloadCompleted(bool bSuccessful);
  void SlotSignatureDownloaded(int nCode);
  void SlotOnTime();

 protected:
  bool event(QEvent* e) override;
  // Every way the window closes ends here: from now on it takes nothing.
  void done(int result) override;
  bool nativeEvent(const QByteArray& eventType, void* message, long* result) override;

 private:
  friend class BrisvaneUpgradeTestAccess;
  BrisvaneUpgrade();

  void BuildUi();
  void Wire();
  // False (and logged) once the window is closing: a request queued
  // meanwhile would start an upgrade nobody sees through.
  bool StillTakingRequests();
  // Starts the upgrade of the request `requestId`, judged fit: downloads the
  // installer into the data folder, or ends the upgrade as a failed download
  // when that folder cannot be used.
  void StartDownload(const DownloadRequest& request, std::uint64_t requestId);
  // Takes a finished download on its own thread, under the instance guard:
  // logs a failure, keeps the file for the GUI thread and signals it.
  void DeliverDownload(const LogicSession::Result& result, platform::HeldFile&& file);
  // Ends an upgrade whose data folder could not be used (`why`) as a failed
  // download, before anything is fetched.
  void RefuseDataFolder(const std::string& why);
  // Ends this upgrade with `result` (a platform::outcome value): leaves the
  // outcome record for the client, stops taking requests, starts the client
  // again and closes.
  void RelaunchClientAndClose(const char* result);
  // From now on nothing reaches the window as a request: it refuses as
  // closing, its title no longer names a request target (Windows) and the
  // request server is stopped (Linux). Idempotent.
  void StopTakingRequests();
  // Writes the outcome record with `result` into the data folder.
  void RecordOutcome(const char* result);
  // Starts the installer worker (checking the signature when there is a
  // key) and the ticker.
  void StartInstaller();
  // A deployment with "upgrade.pub" beside the executable runs only what its
  // publisher signed: fetches "<installer>.minisig" first.
  void StartSignatureDownload(const QString& keyPath);
  // Gives up on an installer that is not to run, as after a failed download.
  void RefuseInstaller(const std::string& why);
  // Takes what a download delivered on its thread (under the instance guard).
  platform::HeldFile TakeDelivered();

  QPointer<QProgressBar> m_progressBar;
  QPointer<QTimer> m_timer;
  QString m_installerPath;
  QString m_installerUrl;
  // The installer as received, until the worker takes it over.
  ReceivedInstaller m_installer;
  // A download's file, handed over on its thread, taken on the GUI thread.
  platform::HeldFile m_delivered;
  // Shut when the window goes, so that a worker still checking starts nothing.
  std::shared_ptr<LaunchGate> m_gate;
  // The data folder of the current upgrade, where its outcome is recorded.
  std::shared_ptr<const platform::Folder> m_dataFolder;
  // What the current upgrade came to so far.
  UpgradeOutcome m_outcome;
  // The publisher's key, when this deployment checks signatures.
  std::optional<installer_signature::PublicKey> m_publicKey;
  // True from a request's download until the upgrade ends (or its installer
  // could not be started): a second request meanwhile would write the same
  // file under a running transfer, or run a second installer.
  bool m_busy = false;
  // True once the window has closed (or is closing).
  bool m_closed = false;
  std::function<void()> m_stopTakingRequests;
};
