# Runs Dorvane in the backup directory for dorvane-task.xml and, after a
# successful run only, keeps the newest $Keep backups: counted, never by
# age, so that a month of failures never removes the last good one, and
# nothing but Database.<14 digits>.db is touched. Exits with Dorvane's own
# status, which Task Scheduler shows as the task's Last Run Result. Any
# status but 0 is a failure: test it as here, or with `if %ERRORLEVEL% NEQ 0`
# in a batch file; -1 (0xFFFFFFFF) is below `if errorlevel 1`.
param(
    [string]$Directory = 'C:\Backups\Dorvane',
    [string]$Dorvane = 'C:\Program Files\Dorvane\Dorvane.exe',
    [int]$Keep = 30
)
Set-Location -LiteralPath $Directory
& $Dorvane
$status = $LASTEXITCODE
if ($status -eq 0) {
    Get-ChildItem -LiteralPath . -File |
        Where-Object { $_.Name -cmatch '^Database\.[0-9]{14}\.db$' } |
        Sort-Object -Property Name -Descending |
        Select-Object -Skip $Keep |
        Remove-Item
}
exit $status
