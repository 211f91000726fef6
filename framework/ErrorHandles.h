// Result objects that operations return instead of throwing, and the base of the framework's
// exceptions (thrown only inside the remote-call layer).
#pragma once

#include "winport/WinTypes.h"

#include <string>

class CNormalErrorHandle
{
public:
    virtual ~CNormalErrorHandle() = default;

    bool IsSuccess() const { return m_bSuccess; }
    void SetErrorMessage(const std::wstring& message)
    {
        m_strErrorMessage = message;
        m_bSuccess = false;
    }
    const std::wstring& GetErrorMessage() const { return m_strErrorMessage; }
    void SetSuccessMessage(const std::wstring& message) { m_strSuccessMessage = message; }
    const std::wstring& GetSuccessMessage() const { return m_strSuccessMessage; }

private:
    std::wstring m_strErrorMessage;
    std::wstring m_strSuccessMessage;
    bool m_bSuccess = true;
};

class CSystemErrorHandle
{
public:
    virtual ~CSystemErrorHandle() = default;
    virtual bool IsSuccess() const { return m_iSystemErrorCode == 0; }

    // Takes the calling thread's last system error and its text.
    void CaptureSystemError();
    int32_t GetSystemErrorCode() const { return m_iSystemErrorCode; }
    const std::wstring& GetSystemErrorInfor() const { return m_strSystemErrorInfo; }

private:
    int32_t m_iSystemErrorCode = 0;
    std::wstring m_strSystemErrorInfo;
};

class CFileSupportErrorHandle : public CSystemErrorHandle
{
public:
    enum ErrorType
    {
        ERROR_TYPE_SUCCESS = 0,
        ERROR_TYPE_DELETE_FILE = 1,
        ERROR_TYPE_DIRECTORY = 2,
        ERROR_TYPE_OPEN_FOR_WRITE = 3,
        ERROR_TYPE_WRITE = 4,
        ERROR_TYPE_READ = 5,
        ERROR_TYPE_CREATE_DIRECTORY = 6,
        ERROR_TYPE_COPY_DIRECTORY = 7,
    };

    bool IsSuccess() const override { return m_ErrorType == ERROR_TYPE_SUCCESS; }
    void SetErrorType(ErrorType type) { m_ErrorType = type; }
    ErrorType GetErrorType() const { return m_ErrorType; }
    void SetFilePath(const std::wstring& path) { m_strFilePath = path; }
    const std::wstring& GetFilePath() const { return m_strFilePath; }

private:
    std::wstring m_strFilePath;
    ErrorType m_ErrorType = ERROR_TYPE_SUCCESS;
};

class CRegistrySupportErrorHandle : public CSystemErrorHandle
{
public:
    // 0 is success; the registry actions define the others.
    typedef int ErrorType;

    bool IsSuccess() const override { return m_ErrorType == 0; }
    void SetErrorType(ErrorType type) { m_ErrorType = type; }
    ErrorType GetErrorType() const { return m_ErrorType; }
    void SetRootKey(const std::wstring& rootKey) { m_strRootKey = rootKey; }
    const std::wstring& GetRootKey() const { return m_strRootKey; }
    void SetKeyPath(const std::wstring& keyPath) { m_strKeyPath = keyPath; }
    const std::wstring& GetKeyPath() const { return m_strKeyPath; }
    void SetValueName(const std::wstring& valueName) { m_strValueName = valueName; }
    const std::wstring& GetValueName() const { return m_strValueName; }

private:
    std::wstring m_strRootKey;
    std::wstring m_strKeyPath;
    std::wstring m_strValueName;
    ErrorType m_ErrorType = 0;
};

class CExceptionSupport
{
public:
    virtual std::wstring GetDescription() const = 0;
    virtual ~CExceptionSupport() = default;
};
