#include "BrisvaneUpgrade.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QVBoxLayout>
#include <algorithm>
#include <chrono>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>

#include "LogicSession.h"
#include "deadline.h"
#include "download_failure.h"
#include "download_request.h"
#include "held_file.h"
#include "installer_signature.h"
#include "log_text.h"
#include "log.h"
#include "outcome_record.h"
#include "last_error.h"
#include "processes.h"
#include "request_channel.h"
#include "startup.h"

namespace {

constexpr int kTickMs = 300;
constexpr std::uint32_t kInstallerWaitMs = 120000;
constexpr std::uint32_t kScriptWaitMs = 60000;

// The instance and whether it is still alive, guarded together so that the
// download and installer threads never touch a window that is being destroyed.
// Recursive: a callback may run on the GUI thread inside a guarded section.
std::recursive_mutex g_instanceMutex;
BrisvaneUpgrade* g_instance = nullptr;
bool g_instanceDestroyed = false;

// Runs `fn` with the live instance under the guard; does nothing once it is gone.
template <typename Fn>
void WithLiveInstance(Fn&& fn) {
  std::lock_guard<std::recursive_mutex> lock(g_instanceMutex);
  if (g_instance != nullptr) fn(g_instance);
}

std::string ToUtf8(const QString& text) { return text.toUtf8().toStdString(); }

// Result of WaitKeepingEventsAlive when the window was closed meanwhile.
constexpr std::uint32_t kWaitAbandoned = 0xFFFFFFFEu;

// Waits on the GUI thread without freezing it, so that a close request is
// still honoured: gives up with kWaitAbandoned once `keepWaiting` turns false.
template <typename Pred>
std::uint32_t WaitKeepingEventsAlive(const platform::Process& process, std::uint32_t limitMs,
                                     std::optional<std::uint32_t>* exitCode, Pred keepWaiting) {
  constexpr int kSliceMs = 50;
  const platform::Deadline deadline = platform::Deadline::After(std::chrono::milliseconds(limitMs));
  for (;;) {
    const auto slice = static_cast<std::uint32_t>(std::min(deadline.MillisecondsLeft(), kSliceMs));
    const std::uint32_t result = platform::WaitForProcess(process, slice, exitCode);
    if (result != platform::kWaitTimeout || deadline.Expired()) return result;
    QCoreApplication::processEvents(QEventLoop::AllEvents, kSliceMs);
    if (!keepWaiting()) return kWaitAbandoned;
  }
}

using installer_signature::PublicKey;

// The publisher's key beside the executable, or "" when this deployment
// runs unsigned installers. Even a key that cannot be read opts in: it must
// not fall back to running unchecked installers.
QString KeyPath() {
  const QFileInfo key(QCoreApplication::applicationDirPath() + "/upgrade.pub");
  return key.exists() || key.isSymLink() ? key.filePath() : QString();
}

constexpr char kRefusedFormat[] = "BrisvaneUpgrade::VerifyInstaller installer refused, key id:%s: %s";
constexpr char kSignatureSuffix[] = ".minisig";

// The signature's URL: ".minisig" appended to the installer URL's path,
// before any query or fragment.
QString SignatureUrlOf(const QString& url) {
  int end = url.size();
  for (QChar mark : {QChar('?'), QChar('#')}) {
    const int at = url.indexOf(mark);
    if (at >= 0 && at < end) end = at;
  }
  return url.left(end) + kSignatureSuffix + url.mid(end);
}

// Checks the received installer against its downloaded signature and logs
// the outcome: one INFO line when good, one ERROR line why not. A check
// given up because the window is closing logs nothing.
bool VerifyInstaller(const PublicKey& key, const ReceivedInstaller& installer, LaunchGate& gate,
                     std::string* refusal) {
  std::string comment;
  std::string text;
  std::string& why = *refusal;
  bool good = false;
  if (!installer.file.valid() || !installer.file.singleName()) {
    why = "the installer cannot be opened";
  } else if (!platform::ReadSmallFile(installer.signature, installer_signature::kMaxSignatureBytes,
                                      &text)) {
    why = "the signature cannot be read";
  } else {
    good = installer_signature::VerifyFile(key, installer.file, text, installer.name, &comment, &why,
                                           [&gate] { return !gate.IsShut(); });
  }
  if (!good && gate.IsShut()) return false;
  const std::string keyId = installer_signature::KeyIdHex(key.keyId);
  WithLiveInstance([&](BrisvaneUpgrade*) {
    if (good) {
      LOG_INFO("BrisvaneUpgrade::VerifyInstaller signature good, key id:%s, trusted comment:%s",
               keyId.c_str(), EscapeForLog(QString::fromStdString(comment)).c_str());
    } else {
      LOG_ERROR(kRefusedFormat, keyId.c_str(), EscapeForLog(QString::fromStdString(why)).c_str());
    }
  });
  return good;
}

// What the installer worker reports to the window.
class InstallerEvent : public QEvent {
 public:
  explicit InstallerEvent(QEvent::Type type) : QEvent(type) {}
  bool signatureVerified = false;
  std::string refusal;  // why the signature was refused
  std::uint32_t wait = platform::kWaitFailed;  // how the wait for the installer ended
  std::optional<std::uint32_t> exitCode;        // when it ended by exiting
};

// Everything the installer worker needs, owned by it.
struct InstallerJob {
  ReceivedInstaller installer;
  std::optional<PublicKey> key;
  std::shared_ptr<LaunchGate> gate;
};

// How the worker's launch ended.
enum class Launch { kWaited, kNotStarted, kRefused, kClosed };

// An earlier upgrade's .part files (and their records) under other names can
// never be continued; they go, but only those provably the upgrader's own.
void RemoveOtherLeftovers(const platform::Folder& folder, const std::string& name) {
  for (const std::string& entry : folder.Names()) {
    const QString text = QString::fromStdString(entry);
    const bool leftover = text.endsWith(".part") || text.endsWith(".part.resume");
    if (!leftover || entry == name + ".part" || entry == name + ".part.resume") continue;
    platform::HeldFile file = folder.OpenOwnLeftover(entry, platform::RunningElevated());
    if (file.valid()) folder.Remove(entry, file);
  }
}

// Once the installer is done with it, its folder goes with everything in it:
// every upgrade would otherwise leave its installer behind.
void RemoveOwnFolder(ReceivedInstaller& installer) {
  const std::string path = installer.folder ? installer.folder->path() : std::string();
  if (installer.Discard()) return;
  const unsigned long error = platform::LastErrorCode();
  WithLiveInstance([&](BrisvaneUpgrade*) {
    LOG_ERROR("ThreadStartInstaller the installer's folder could not be removed:%d %s", static_cast<int>(error),
              EscapeForLog(QString::fromStdString(path)).c_str());
  });
}

// Starts the received installer (checked first when there is a key) and
// waits for it. The very file that was received is what starts, and it stays
// held until the installer has exited. `report` learns how it went.
Launch RunInstaller(InstallerJob& job, InstallerEvent* report) {
  if (job.key && !VerifyInstaller(*job.key, job.installer, *job.gate, &report->refusal)) {
    job.installer.Discard();
    return job.gate->IsShut() ? Launch::kClosed : Launch::kRefused;
  }
  report->signatureVerified = job.key.has_value();
  std::string unfit;
  if (!job.installer.MoveToOwnFolder(&unfit)) {
    const unsigned long error = platform::LastErrorCode();
    WithLiveInstance([&](BrisvaneUpgrade*) {
      LOG_ERROR("ThreadStartInstaller the installer could not be moved to a folder of its own:%d",
                static_cast<int>(error));
      if (unfit.empty()) return;
      LOG_ERROR("ThreadStartInstaller no place only root can change can hold the installer: %s",
                EscapeForLog(QString::fromStdString(unfit)).c_str());
    });
    return Launch::kNotStarted;
  }
  // The window is closing: nothing starts, and nothing of it stays.
  if (!job.gate->TryStart()) {
    job.installer.Discard();
    return Launch::kClosed;
  }
  platform::Process process;
  const int started = platform::LaunchHeldInstaller(job.installer.file, job.installer.Path(), &process,
                                                    job.installer.own.get());
  const unsigned long launchError = platform::LastErrorCode();
  WithLiveInstance([&](BrisvaneUpgrade*) {
    LOG_INFO("ThreadStartInstaller[upgrade] start installer result:%d", started);
    if (process) return;
    LOG_ERROR("ThreadStartInstaller handle of process installer is nullptr");
    LOG_ERROR("ThreadStartInstaller the installer could not be started:%d %s", static_cast<int>(launchError),
              platform::ErrorText(launchError).c_str());
  });
  if (!process) {
    RemoveOwnFolder(job.installer);
    return Launch::kNotStarted;
  }

  report->wait = platform::WaitForProcess(process, kInstallerWaitMs, &report->exitCode);
  // An installer still running after the wait keeps its folder: what it put
  // beside itself may still be in use. Nobody but the upgrader can write it.
  if (report->wait == platform::kWaitEnded) RemoveOwnFolder(job.installer);
  if (report->wait != platform::kWaitEnded) {
    const unsigned long error = platform::LastErrorCode();
    WithLiveInstance([&](BrisvaneUpgrade*) {
      LOG_ERROR("ThreadStartInstaller [upgrade] wait for installer completing failure: %d",
                static_cast<int>(error));
    });
  } else if (report->exitCode) {
    WithLiveInstance([&](BrisvaneUpgrade*) {
      LOG_INFO("ThreadStartInstaller[upgrade] installer exit code:%d", static_cast<int>(*report->exitCode));
    });
  }
  return Launch::kWaited;
}

// Runs the received installer on a worker thread and tells the window when
// it has finished, that it could not be started or that it was refused.
void ThreadStartInstaller(std::shared_ptr<InstallerJob> job) {
  auto report = std::make_unique<InstallerEvent>(kInstallDoneEventType);
  const Launch launch = RunInstaller(*job, report.get());
  job->gate->Finish();
  if (launch == Launch::kClosed) return;
  if (launch != Launch::kWaited) {
    auto ended = std::make_unique<InstallerEvent>(launch == Launch::kRefused ? kInstallerRefusedEventType
                                                                             : kInstallerNotStartedEventType);
    ended->refusal = std::move(report->refusal);
    BrisvaneUpgrade::PostToInstance(ended.release());
    return;
  }
  WithLiveInstance([](BrisvaneUpgrade*) {
    LOG_INFO("ThreadStartInstaller begin to send install completion notice");
  });
  BrisvaneUpgrade::PostToInstance(report.release());
}

// The result an installer that was waited for comes to.
const char* InstalledResult(const InstallerEvent& report) {
  namespace outcome = platform::outcome;
  if (report.wait == platform::kWaitTimeout) return outcome::kInstallerTimeout;
  return report.exitCode == 0u ? outcome::kInstalled : outcome::kInstallerFailed;
}

}  // namespace

BrisvaneUpgrade* BrisvaneUpgrade::GetInstance() {
  std::lock_guard<std::recursive_mutex> lock(g_instanceMutex);
  if (g_instance == nullptr && !g_instanceDestroyed) g_instance = new BrisvaneUpgrade();
  return g_instance;
}

void BrisvaneUpgrade::DestroyInstance() {
  BrisvaneUpgrade* instance = nullptr;
  {
    std::lock_guard<std::recursive_mutex> lock(g_instanceMutex);
    instance = g_instance;
    g_instance = nullptr;
    g_instanceDestroyed = true;
  }
  // Events already posted to it are dropped by the framework with it.
  delete instance;
}

bool BrisvaneUpgrade::PostToInstance(QEvent* e) {
  bool posted = false;
  WithLiveInstance([&](BrisvaneUpgrade* instance) {
    QCoreApplication::postEvent(instance, e, Qt::NormalEventPriority);
    posted = true;
  });
  if (!posted) delete e;
  return posted;
}

BrisvaneUpgrade::BrisvaneUpgrade() : QDialog(nullptr) {
  BuildUi();
  Wire();
}

BrisvaneUpgrade::~BrisvaneUpgrade() {
  // A worker still checking the installer must not start it now, and what
  // was received for an upgrade that ends here is not left behind.
  if (m_gate) m_gate->Shut();
  // A download whose completion was delivered but whose slot never ran (the
  // window closed in between) belongs to this upgrade as well: the installer
  // when none was taken yet, else its signature.
  platform::HeldFile delivered = TakeDelivered();
  if (!m_installer.file.valid()) {
    m_installer.file = std::move(delivered);
  } else if (!m_installer.signature.valid()) {
    m_installer.signature = std::move(delivered);
  }
  m_installer.Discard();
}

platform::HeldFile BrisvaneUpgrade::TakeDelivered() {
  std::lock_guard<std::recursive_mutex> lock(g_instanceMutex);
  return std::move(m_delivered);
}

void BrisvaneUpgrade::BuildUi() {
  // Clients find the upgrader by this title (request_protocol.h).
  setWindowTitle(QString::fromWCharArray(platform::kWindowTitle));
  setWindowIcon(QIcon(":/Resource/upgrade.ico"));
  setWindowFlags(Qt::FramelessWindowHint);
  setStyleSheet("background-color:#1E2831");
  setFixedSize(340, 120);

  const QString captionText = QString::fromUtf8("正在更新...");
  // Screen readers announce the window and the bar by these names; the bar's
  // value reaches them through QProgressBar's own accessible interface.
  setAccessibleName(captionText);
  auto* caption = new QLabel(captionText);
  caption->setStyleSheet("color:white");
  QFont font = caption->font();
  font.setFamily("Microsoft YaHei");
  font.setPointSize(12);
  caption->setFont(font);

  m_progressBar = new QProgressBar();
  m_progressBar->setRange(0, 100);
  m_progressBar->setFixedSize(340, 10);
  m_progressBar->setTextVisible(false);
  m_progressBar->setValue(0);
  m_progressBar->setAccessibleName(captionText);
  m_progressBar->setStyleSheet(
      "QProgressBar{border-radius:5px; background-color:transparent;}"
      "QProgressBar::chunk{border-radius:5px; background-color:#25CF9E;}");

  auto* layout = new QVBoxLayout();
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addStretch(0);
  layout->addWidget(caption, 0, Qt::AlignHCenter);
  layout->addStretch(0);
  layout->addWidget(m_progressBar, 0, Qt::AlignHCenter);
  setLayout(layout);
}

void BrisvaneUpgrade::Wire() {
  connect(this, &BrisvaneUpgrade::SigUpdate, this, &BrisvaneUpgrade::SlotUpdateProgress);
  connect(this, &BrisvaneUpgrade::SigDownloadCompleted, this,
          &BrisvaneUpgrade::SlotDownloadCompleted);
  connect(this, &BrisvaneUpgrade::SigSignatureDownloaded, this,
          &BrisvaneUpgrade::SlotSignatureDownloaded);
  m_timer = new QTimer(this);
  m_timer->setInterval(kTickMs);
  connect(m_timer, &QTimer::timeout, this, &BrisvaneUpgrade::SlotOnTime);
}

void BrisvaneUpgrade::SlotUpdateProgress(int nProgress) {
  LOG_DEBUG("BrisvaneUpgrade::SlotUpdateProgress[upgrade] progress:%d", nProgress);
  if (!m_progressBar) return;
  m_progressBar->setValue(std::min(nProgress, m_progressBar->maximum()));
}

bool BrisvaneUpgrade::nativeEvent(const QByteArray& eventType, void* message, long* result) {
  if (platform::IsWithdrawMessage(message)) {
    *result = ReceiveWithdrawal();
    return true;
  }
  platform::Request request;
  if (!platform::TakeCopyDataRequest(message, &request)) {
    return QDialog::nativeEvent(eventType, message, result);
  }
  *result = ReceiveRequest(QByteArray::fromStdString(request.payload), request.requestId);
  return true;
}

bool BrisvaneUpgrade::StillTakingRequests() {
  LOG_INFO("BrisvaneUpgrade::nativeEvent receive message");
  if (!m_closed) return true;
  LOG_ERROR("BrisvaneUpgrade::ReceiveRequest the window is closing, request ignored");
  return false;
}

std::int32_t BrisvaneUpgrade::ReceiveRequest(const QByteArray& payload, std::uint64_t requestId) {
  if (!StillTakingRequests()) return platform::kReplyClosing;
  DownloadRequest request;
  const std::int32_t reply = JudgeRequest(payload, m_busy, &request);
  if (reply != platform::kReplyTaken) return reply;
  StartDownload(request, requestId);
  return platform::kReplyTaken;
}

void BrisvaneUpgrade::done(int result) {
  m_closed = true;
  QDialog::done(result);
}

std::int32_t BrisvaneUpgrade::ReceiveWithdrawal() {
  if (!StillTakingRequests()) return platform::kReplyClosing;
  if (m_busy) {
    LOG_ERROR("BrisvaneUpgrade::ReceiveRequest an upgrade is in progress, withdrawal ignored");
    return platform::kReplyBusy;
  }
  LOG_INFO("BrisvaneUpgrade::ReceiveRequest the request was withdrawn, closing");
  reject();
  return platform::kReplyTaken;
}

void BrisvaneUpgrade::StartDownload(const DownloadRequest& request, std::uint64_t requestId) {
  m_busy = true;
  m_installerUrl = request.url;
  m_installerPath = request.path;
  const std::shared_ptr<const platform::Folder> downloadFolder = request.folder;
  m_dataFolder = downloadFolder;
  const std::string name = request.name;
  m_outcome = UpgradeOutcome{};
  m_outcome.started = std::chrono::system_clock::now();
  m_outcome.requestId = requestId;
  m_outcome.installer = name;
  m_outcome.url = LoggableUrl(request.url);
  m_installer.Discard();
  m_installer = ReceivedInstaller{downloadFolder, name, {}, {}, {}, {}, {}};
  // A retry after an installer that would not start: the bar follows the
  // new download again instead of the old ticker.
  if (m_timer && m_timer->isActive()) m_timer->stop();
  if (!downloadFolder->valid()) {
    RefuseDataFolder(request.folderRefusal);
    return;
  }
  RemoveOtherLeftovers(*downloadFolder, name);
  LogicSession session;
  // Where a signature checks the bytes, it decides whether they are whole.
  session.AcceptUnstatedLength(!KeyPath().isEmpty());
  session.DownloadInto(
      [downloadFolder, name](const LogicSession::Result& result, platform::HeldFile file) {
        WithLiveInstance([&](BrisvaneUpgrade* window) { window->DeliverDownload(result, std::move(file)); });
        // The window is gone: this upgrade ends here, with nothing left behind.
        if (file.valid()) downloadFolder->Remove(name, file);
      },
      [](int percent) {
        WithLiveInstance([percent](BrisvaneUpgrade* window) {
          emit window->SigUpdate(static_cast<int>(percent * 0.75));
        });
      },
      ToUtf8(request.url), std::list<std::string>(), downloadFolder, name,
      platform::RunningElevated());
}

void BrisvaneUpgrade::DeliverDownload(const LogicSession::Result& result, platform::HeldFile&& file) {
  if (result.code != CURLE_OK) {
    LOG_ERROR("[upgrade] download error, code:%d", result.code);
    LOG_ERROR("[upgrade] download error: %s", DescribeDownloadFailure(result).c_str());
  }
  m_delivered = std::move(file);
  // Read on the GUI thread only after the signal below.
  m_outcome.bytesReceived = result.bytesReceived;
  m_outcome.httpStatus = result.httpStatus;
  m_outcome.serverAnswered = ServerAnswered(result);
  if (result.code != CURLE_OK) {
    m_outcome.downloadError = result.code;
    m_outcome.downloadErrorText = result.text;
    if (result.retryAfter) m_outcome.retryAfter = result.retryAfter->count();
  }
  emit SigDownloadCompleted(result.code == CURLE_OK);
}

void BrisvaneUpgrade::RefuseDataFolder(const std::string& why) {
  // Nothing is fetched for a place that cannot be used, nor written there.
  LOG_ERROR("BrisvaneUpgrade::StartDownload the data folder cannot be used: %s",
            EscapeForLog(QString::fromStdString(why)).c_str());
  LOG_ERROR("[upgrade] download error, code:%d", CURLE_WRITE_ERROR);
  m_outcome.downloadError = CURLE_WRITE_ERROR;
  m_outcome.downloadErrorText = curl_easy_strerror(CURLE_WRITE_ERROR);
  RelaunchClientAndClose(platform::outcome::kDownloadFailed);
}

void BrisvaneUpgrade::SlotDownloadCompleted(bool bSuccessful) {
  if (!bSuccessful) {
    RelaunchClientAndClose(platform::outcome::kDownloadFailed);
    return;
  }
  m_publicKey.reset();
  m_installer.file = TakeDelivered();
  const QString key = KeyPath();
  if (!key.isEmpty()) {
    StartSignatureDownload(key);
    return;
  }
  StartInstaller();
}

void BrisvaneUpgrade::StartSignatureDownload(const QString& keyPath) {
  installer_signature::PublicKey key;
  std::string why;
  if (!installer_signature::LoadPublicKey(ToUtf8(keyPath), &key, &why)) {
    RefuseInstaller(why);
    return;
  }
  m_publicKey = key;
  const std::shared_ptr<const platform::Folder> folder = m_installer.folder;
  const std::string name = m_installer.name + kSignatureSuffix;
  LogicSession session;
  session.SetMaxBytes(static_cast<curl_off_t>(installer_signature::kMaxSignatureBytes));
  // A cut signature cannot verify.
  session.AcceptUnstatedLength(true);
  session.DownloadInto(
      [folder, name](const LogicSession::Result& result, platform::HeldFile file) {
        WithLiveInstance([&](BrisvaneUpgrade* window) {
          window->m_delivered = std::move(file);
          emit window->SigSignatureDownloaded(static_cast<int>(result.code));
        });
        if (file.valid()) folder->Remove(name, file);
      },
      nullptr, ToUtf8(SignatureUrlOf(m_installerUrl)), std::list<std::string>(), folder, name,
      platform::RunningElevated());
}

void BrisvaneUpgrade::SlotSignatureDownloaded(int nCode) {
  if (nCode != CURLE_OK) {
    RefuseInstaller("the signature could not be downloaded, code:" + std::to_string(nCode));
    return;
  }
  m_installer.signature = TakeDelivered();
  StartInstaller();
}

void BrisvaneUpgrade::RefuseInstaller(const std::string& why) {
  const std::string keyId = m_publicKey ? installer_signature::KeyIdHex(m_publicKey->keyId) : "none";
  LOG_ERROR(kRefusedFormat, keyId.c_str(), EscapeForLog(QString::fromStdString(why)).c_str());
  m_outcome.signatureProblem = why;
  m_installer.Discard();
  RelaunchClientAndClose(platform::outcome::kSignatureRefused);
}

void BrisvaneUpgrade::StartInstaller() {
  m_gate = std::make_shared<LaunchGate>();
  auto job = std::make_shared<InstallerJob>(InstallerJob{std::move(m_installer), m_publicKey, m_gate});
  try {
    std::thread(ThreadStartInstaller, job).detach();
  } catch (const std::system_error& error) {
    job->installer.Discard();
    m_gate.reset();
    // Without the worker the installer never runs; the client is unchanged,
    // so bring it back as after a failed download.
    LOG_ERROR("BrisvaneUpgrade::SlotDownloadCompleted start installer thread failure: %s",
              error.what());
    RelaunchClientAndClose(platform::outcome::kInstallerNotStarted);
    return;
  }
  m_timer->start();
}

void BrisvaneUpgrade::RelaunchClientAndClose(const char* result) {
  RecordOutcome(result);
  // The client's first act may be the next upgrade: it must find no
  // upgrader here, not one that answers "closing".
  StopTakingRequests();
  StartBrisvane();
  close();
}

void BrisvaneUpgrade::StopTakingRequests() {
  m_closed = true;
  // Clients look for a window of exactly this title (request_protocol.h);
  // one that already found it is answered "closing" above.
  setWindowTitle(QString::fromWCharArray(platform::kWindowTitle) + " (closing)");
  if (m_stopTakingRequests) {
    const std::function<void()> stop = std::move(m_stopTakingRequests);
    m_stopTakingRequests = nullptr;
    stop();
  }
}

void BrisvaneUpgrade::RecordOutcome(const char* result) {
  if (!m_dataFolder || !m_dataFolder->valid()) return;
  m_outcome.result = result;
  m_outcome.keyId = m_publicKey ? installer_signature::KeyIdHex(m_publicKey->keyId) : std::string();
  m_outcome.ended = std::chrono::system_clock::now();
  if (!WriteOutcomeRecord(*m_dataFolder, m_outcome)) {
    LOG_ERROR("BrisvaneUpgrade::RecordOutcome the outcome record could not be written:%d",
              static_cast<int>(platform::LastErrorCode()));
    // An earlier upgrade's answer must not stand for this one: no record
    // tells the client more truly that it cannot know.
    m_dataFolder->RemoveName(platform::kOutcomeRecordName);
    LOG_ERROR("BrisvaneUpgrade::RecordOutcome the previous outcome record was removed");
  }
}

void BrisvaneUpgrade::SlotOnTime() {
  if (!m_progressBar) return;
  emit SigUpdate(m_progressBar->value() + 1);
}

bool BrisvaneUpgrade::event(QEvent* e) {
  if (e->type() == kInstallerRefusedEventType) {
    // The worker has logged why and removed what it refused.
    m_outcome.signatureProblem = static_cast<InstallerEvent*>(e)->refusal;
    RelaunchClientAndClose(platform::outcome::kSignatureRefused);
    return true;
  }
  if (e->type() == kInstallerNotStartedEventType) {
    // Nothing could continue a window left waiting here: the client, which
    // has quit for the upgrade, would stay locked out. It comes back as
    // after a failed download, and learns from the record what happened.
    RelaunchClientAndClose(platform::outcome::kInstallerNotStarted);
    return true;
  }
  if (e->type() != kInstallDoneEventType) return QDialog::event(e);

  LOG_INFO("BrisvaneUpgrade::event receive install completion notice");
  const auto* report = static_cast<const InstallerEvent*>(e);
  m_outcome.signatureVerified = report->signatureVerified;
  m_outcome.installerExitCode = report->exitCode;
  if (m_progressBar) m_progressBar->setValue(m_progressBar->maximum());
  if (m_timer && m_timer->isActive()) m_timer->stop();
  m_outcome.scriptExitCode = StartCommandScript();
  // The user may have closed the window while the script ran: the run then
  // ends without the client, as a close does in every other phase.
  if (isVisible()) RelaunchClientAndClose(InstalledResult(*report));
  return true;
}

std::optional<std::uint32_t> BrisvaneUpgrade::StartCommandScript() {
  const QString scriptPath = QCoreApplication::applicationDirPath() + "/command.bat";
  if (!QFile::exists(scriptPath)) {
    LOG_ERROR("BrisvaneUpgrade::StartCommandScript copy script doesn't exist");
    return std::nullopt;
  }
  // The log shows the path as the Windows shell is given it.
  const QString quoted = "\"" + scriptPath + "\"";
  LOG_INFO("BrisvaneUpgrade::StartCommandScript param:%s", ToUtf8(quoted).c_str());

  platform::Process process;
  if (!platform::LaunchScript(ToUtf8(scriptPath), &process)) {
    LOG_ERROR("BrisvaneUpgrade::StartCommandScript start copy script error:%d",
              static_cast<int>(platform::LastErrorCode()));
  }
  if (!process) return std::nullopt;

  std::optional<std::uint32_t> exitCode;
  const std::uint32_t result = WaitKeepingEventsAlive(process, kScriptWaitMs, &exitCode, [] {
    BrisvaneUpgrade* window = nullptr;
    WithLiveInstance([&](BrisvaneUpgrade* instance) { window = instance; });
    return window != nullptr && window->isVisible();
  });
  if (result == kWaitAbandoned) {
    LOG_INFO("BrisvaneUpgrade::StartCommandScript window closed, no longer waiting for the script");
  } else {
    LOG_INFO("BrisvaneUpgrade::StartCommandScript wait for script execution, the result: %d",
             static_cast<int>(result));
    if (exitCode) {
      LOG_INFO("BrisvaneUpgrade::StartCommandScript script exit code:%d", static_cast<int>(*exitCode));
    }
  }
  return exitCode;
}

void BrisvaneUpgrade::StartBrisvane() {
  g_singletonMutex.Release();
  const QString clientPath = QCoreApplication::applicationDirPath() + "/bvc.exe";
  const int started = platform::LaunchClient(ToUtf8(clientPath));
  LOG_INFO("BrisvaneUpgrade::StartBrisvane [upgrade] start brisvane result:%d", started);
}
