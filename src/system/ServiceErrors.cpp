#include "system/ServiceErrors.h"

#include "system/ServiceBackend.h"

#include <utility>

namespace orvo {

namespace {

std::string OSErrorMessage(std::uint32_t aErrorCode) {
  if (aErrorCode == 0) {
    return "A call to an OS function failed";
  }
  // The suffix after the system's text is empty.
  return "System Error.  Code: " + std::to_string(aErrorCode) + ".\r\n" +
         SysErrorMessage(aErrorCode);
}

// The system's texts of the codes that the service backends report.
constexpr std::pair<std::uint32_t, const char*> kErrorTexts[] = {
    {win::ERROR_SUCCESS, "The operation completed successfully"},
    {win::ERROR_FILE_NOT_FOUND, "The system cannot find the file specified"},
    {win::ERROR_ACCESS_DENIED, "Access is denied"},
    {win::ERROR_INVALID_HANDLE, "The handle is invalid"},
    {win::ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this "
                                   "command"},
    {win::ERROR_NOT_SUPPORTED, "The request is not supported"},
    {win::ERROR_INVALID_PARAMETER, "The parameter is incorrect"},
    {win::ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small"},
    {win::ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect"},
    {win::ERROR_MORE_DATA, "More data is available"},
    {win::ERROR_DEPENDENT_SERVICES_RUNNING,
     "A stop control has been sent to a service that other running services are dependent on"},
    {win::ERROR_INVALID_SERVICE_CONTROL, "The requested control is not valid for this service"},
    {win::ERROR_SERVICE_REQUEST_TIMEOUT,
     "The service did not respond to the start or control request in a timely fashion"},
    {win::ERROR_SERVICE_NO_THREAD, "A thread could not be created for the service"},
    {win::ERROR_SERVICE_DATABASE_LOCKED, "The service database is locked"},
    {win::ERROR_SERVICE_ALREADY_RUNNING, "An instance of the service is already running"},
    {win::ERROR_SERVICE_DISABLED,
     "The service cannot be started, either because it is disabled or because it has no enabled "
     "devices associated with it"},
    {win::ERROR_SERVICE_DOES_NOT_EXIST, "The specified service does not exist as an installed "
                                        "service"},
    {win::ERROR_SERVICE_CANNOT_ACCEPT_CTRL,
     "The service cannot accept control messages at this time"},
    {win::ERROR_SERVICE_NOT_ACTIVE, "The service has not been started"},
    {win::ERROR_EXCEPTION_IN_SERVICE,
     "An exception occurred in the service when handling the control request"},
    {win::ERROR_SERVICE_SPECIFIC_ERROR, "The service has returned a service-specific error code"},
    {win::ERROR_PROCESS_ABORTED, "The process terminated unexpectedly"},
    {win::ERROR_SERVICE_DEPENDENCY_FAIL, "The dependency service or group failed to start"},
    {win::ERROR_SERVICE_LOGON_FAILED, "The service did not start due to a logon failure"},
    {win::ERROR_SERVICE_START_HANG, "After starting, the service hung in a start-pending state"},
    {win::ERROR_INVALID_SERVICE_LOCK, "The specified service database lock is invalid"},
    {win::ERROR_SERVICE_MARKED_FOR_DELETE, "The specified service has been marked for deletion"},
    {win::ERROR_SERVICE_EXISTS, "The specified service already exists"},
    {win::ERROR_SHUTDOWN_IN_PROGRESS, "A system shutdown is in progress"},
    {win::ERROR_INVALID_COMPUTERNAME, "The format of the specified computer name is invalid"},
    {win::ERROR_INTERNAL_ERROR, "An internal error occurred"},
    {win::RPC_S_SERVER_UNAVAILABLE, "The RPC server is unavailable"},
};

} // namespace

EOSError::EOSError(std::uint32_t aErrorCode)
    : EServiceError(OSErrorMessage(aErrorCode)), fErrorCode(aErrorCode) {}

EAssertionFailed::EAssertionFailed(const std::string& aSourceName, int aLine)
    : EServiceError("Assertion failure (" + aSourceName + ", line " + std::to_string(aLine) + ")") {
}

std::string SysErrorMessage(std::uint32_t aErrorCode) {
  for (const auto& [code, text] : kErrorTexts) {
    if (code == aErrorCode) {
      return text;
    }
  }
  return {};
}

} // namespace orvo
