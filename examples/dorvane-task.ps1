# Runs Dorvane in the backup directory for dorvane-task.xml and exits with
# Dorvane's own status, which Task Scheduler shows as the task's Last Run
# Result (1 when the directory cannot be entered, or the newest backup is
# no database; 0x2 to 0x8 and 0xFFFFFFFF are Dorvane's, see
# Dorvane-manual.txt, EXIT STATUS). Any status but 0 is a failure: test
# it as here ($status -eq 0, in a caller $LASTEXITCODE -ne 0), or with
# `if %ERRORLEVEL% NEQ 0` in a batch file; -1 (0xFFFFFFFF) is below
# `if errorlevel 1`.
#
# After a successful run it keeps the newest $Keep backups, but only when
# the newest backup begins with the SQLite header, so that a run that kept
# anything else never prunes a good backup away; otherwise it removes
# nothing and says so on standard error. Backups are counted, never aged
# (a month of failures never removes the last good one), and nothing but
# Database.<14 digits>.db is touched. -Keep 0 prunes nothing.
#
# Monitoring, when you want it:
# -HealthcheckUrl https://hc-ping.com/your-check-uuid  pings that address
#   after each run (curl.exe, part of Windows 10 and later), with /fail
#   appended after a failed one: a dead man's switch, which alerts when a
#   ping is missing or says /fail.
# -TextfileDirectory 'C:\Program Files\windows_exporter\textfile_inputs'
#   writes dorvane.prom there for the exporter's textfile collector:
#   dorvane_last_exit_status (the task's result as above), and the time and size of the newest backup as
#   dorvane_last_success_timestamp_seconds and dorvane_last_backup_bytes
#   (0 while there is none). Written to a new file that is then renamed
#   over the old one, so the collector never reads half of it.
param(
    [string]$Directory = 'C:\Backups\Dorvane',
    [string]$Dorvane = 'C:\Program Files\Dorvane\Dorvane.exe',
    [int]$Keep = 30,
    [string]$HealthcheckUrl = '',
    [string]$TextfileDirectory = ''
)

# The backups in the current directory, newest first.
function Get-Backups {
    Get-ChildItem -LiteralPath . -File |
        Where-Object { $_.Name -cmatch '^Database\.[0-9]{14}\.db$' } |
        Sort-Object -Property Name -Descending
}

# Whether the file begins with the 16 bytes of the SQLite header.
function Test-SQLiteHeader([string]$Path) {
    $expected = [System.Text.Encoding]::ASCII.GetBytes("SQLite format 3`0")
    $bytes = New-Object byte[] 16
    $stream = [System.IO.File]::OpenRead($Path)
    try { $read = $stream.Read($bytes, 0, 16) } finally { $stream.Dispose() }
    return ($read -eq 16) -and ([BitConverter]::ToString($bytes) -eq [BitConverter]::ToString($expected))
}

# Writes the textfile for windows_exporter: to a new file first, renamed
# over the old one.
function Write-Textfile([int]$Status, $Newest) {
    $time = 0
    $size = 0
    if ($Newest) {
        $time = ([DateTimeOffset]$Newest.LastWriteTimeUtc).ToUnixTimeSeconds()
        $size = $Newest.Length
    }
    $text = "dorvane_last_exit_status $Status`n" +
        "dorvane_last_success_timestamp_seconds $time`n" +
        "dorvane_last_backup_bytes $size`n"
    $final = Join-Path $TextfileDirectory 'dorvane.prom'
    $staged = "$final.$PID.tmp"
    [System.IO.File]::WriteAllText($staged, $text, (New-Object System.Text.UTF8Encoding $false))
    if (Test-Path -LiteralPath $final) {
        [System.IO.File]::Replace($staged, $final, $null)
    } else {
        [System.IO.File]::Move($staged, $final)
    }
}

try {
    Set-Location -LiteralPath $Directory -ErrorAction Stop
    & $Dorvane
    $status = $LASTEXITCODE
    $newest = Get-Backups | Select-Object -First 1
    if ($status -eq 0 -and $Keep -gt 0) {
        if ($newest -and (Test-SQLiteHeader $newest.FullName)) {
            Get-Backups | Select-Object -Skip $Keep | Remove-Item
        } else {
            [Console]::Error.WriteLine("Nothing pruned: the newest backup, $(if ($newest) { $newest.Name } else { 'none' }), is not an SQLite database")
            $status = 1
        }
    }
} catch {
    [Console]::Error.WriteLine("Dorvane did not run: $($_.Exception.Message)")
    $status = 1
    $newest = $null
}
if ($HealthcheckUrl) {
    $url = if ($status -eq 0) { $HealthcheckUrl } else { "$HealthcheckUrl/fail" }
    & curl.exe -fsS -m 10 --retry 3 -o NUL $url
}
if ($TextfileDirectory) {
    try {
        Write-Textfile $status $newest
    } catch {
        [Console]::Error.WriteLine("dorvane.prom not written: $($_.Exception.Message)")
    }
}
exit $status
