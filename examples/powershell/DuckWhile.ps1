<#
.SYNOPSIS
Ducks applications while a command runs, then restores them: a small
appduck controller over System.Diagnostics.Process.

.EXAMPLE
.\DuckWhile.ps1 -Names 'spotify;chrome*' -Percent 20 -Command { Start-Sleep 5 }

.NOTES
appduck answers every command with exactly one line of JSON, so the client
writes one line and reads one line. `duck` and `restore` answer when their
ramp is done (about 300 ms); `list` answers at once. On Windows the replies
end in CR LF, which ReadLine removes.
#>
param(
    [Parameter(Mandatory)] [string] $Names,
    [Parameter(Mandatory)] [scriptblock] $Command,
    # A whole number: appduck reads no digits as 0, and [int] would round 20.5.
    [ValidatePattern('^[+-]?\d+$')] [string] $Percent = '20',
    [string] $Appduck = 'appduck.exe'
)

$ReplyTimeoutMs = 5000  # a ramp takes 300 ms; far longer is a hang

class AppduckGone : System.Exception {}

function Start-Appduck([string] $Path) {
    $info = [System.Diagnostics.ProcessStartInfo]::new($Path)
    $info.UseShellExecute = $false
    $info.RedirectStandardInput = $true
    $info.RedirectStandardOutput = $true
    # UTF-8 without a byte order mark both ways, for names beyond ASCII.
    # Windows PowerShell 5.1 writes a child's input in the console's input
    # encoding; PowerShell 7 has a property for it.
    $utf8 = [System.Text.UTF8Encoding]::new($false)
    $info.StandardOutputEncoding = $utf8
    if ($info.PSObject.Properties['StandardInputEncoding']) {
        $info.StandardInputEncoding = $utf8
    } else {
        [Console]::InputEncoding = $utf8
    }
    try {
        return [System.Diagnostics.Process]::Start($info)
    } catch {
        return $null  # not found: go on without ducking
    }
}

# Sends one command and returns its one reply, parsed.
function Send-AppduckCommand([System.Diagnostics.Process] $Process, [string] $Line) {
    if ($null -eq $Process) { throw [AppduckGone]::new() }
    try {
        # WriteLine would send CR LF, which appduck reads as LF anyway.
        $Process.StandardInput.Write("$Line`n")
        $Process.StandardInput.Flush()
    } catch [System.IO.IOException] {
        throw [AppduckGone]::new()
    }
    $read = $Process.StandardOutput.ReadLineAsync()
    if (-not $read.Wait($ReplyTimeoutMs)) { throw "appduck gave no reply to '$Line'" }
    if ($null -eq $read.Result) { throw [AppduckGone]::new() }  # end of its output
    return $read.Result | ConvertFrom-Json
}

$process = Start-Appduck $Appduck
try {
    $reply = Send-AppduckCommand $process "duck $Percent $Names"
    if ($reply.bajados) { "appduck: ducked $Names to $Percent %" }
    else { "appduck: nothing playing matches $Names" }
} catch [AppduckGone] {
    # Ducking is a courtesy: the command still runs, only louder.
    Write-Warning 'appduck: not running; going on without ducking'
}

try {
    & $Command
} finally {
    try {
        $null = Send-AppduckCommand $process 'restore'
        'appduck: restored'
    } catch [AppduckGone] {
        # nothing of ours can still be ducked
    }
    if ($null -ne $process) {
        # End of input: appduck restores what is ducked and exits with 0.
        $process.StandardInput.Close()
        $process.WaitForExit($ReplyTimeoutMs) | Out-Null
        $process.Dispose()
    }
}
