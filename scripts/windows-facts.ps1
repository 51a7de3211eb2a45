# What no source states for Windows about a fake device and about the hosts
# that run the tool without a console, recorded by the hosted Windows jobs
# in Windows PowerShell 5.1, as the endpoints have it. With the package's
# shamrig.exe: one device is made; then what Get-PnpDevice and pnputil show
# of it; what PowerShell captures of `list` against the file route (cmd
# writes the bytes to a file, read back as UTF-8), at the job's own
# PowerShell, through remoting to this machine and as SYSTEM; and whether
# pnputil /remove-device takes the device away. Each answer is one line
# "host<TAB>fact<TAB>answer" of the answers file (escaped as the suite
# escapes its fields) and a line of this script's output. Nothing here
# fails the job: a step that breaks records what broke.
# Every step that waits on the host has a time limit, and one that reaches
# it records "timed out after N s": the PnP cmdlets and pnputil 20 s each
# (six steps), Enable-PSRemoting 45 s, each of the three remote steps 45 s
# and 10 s more to stop it (its session gives up sooner: 20 s to open, 30 s
# for an operation), and the run as SYSTEM 45 s. Every limit reached:
# 6 x 20 + 45 + 3 x 55 + 45 = 375 s; with the tool's own runs, which take
# seconds, under 7 minutes, inside the step's 10. So the last facts
# (SYSTEM, pnputil /remove-device and what is left after it) are always
# written.
#   powershell -File scripts/windows-facts.ps1 -Exe shipped/shamrig.exe -Answers answers.tsv
param(
    [Parameter(Mandatory = $true)][string]$Exe,
    [Parameter(Mandatory = $true)][string]$Answers
)
$ErrorActionPreference = 'Stop'
$utf8 = New-Object System.Text.UTF8Encoding($false)
$Answers = [System.IO.Path]::GetFullPath($Answers)

function Get-Cell([string]$text) {
    return $text.Replace('\', '\\').Replace("`t", '\t').Replace("`r", '\r').Replace("`n", '\n')
}

function Write-Fact([string]$fact, [string]$answer) {
    [System.IO.File]::AppendAllText($Answers, "host`t$(Get-Cell $fact)`t$(Get-Cell $answer)`n", $utf8)
    Write-Output ('{0}: {1}' -f $fact, $answer)
}

# A fact whose step threw records the error instead.
function Invoke-Fact([string]$fact, [scriptblock]$step) {
    try {
        Write-Fact $fact ([string](& $step))
    } catch {
        Write-Fact $fact ('error: ' + $_.Exception.Message)
    }
}

# Text as one string with LF line ends and no line end after the last line.
function Get-Lines([string]$text) {
    return ($text -replace "`r`n", "`n").TrimEnd([char]10)
}

$LocalLimit = 20
$RemoteLimit = 45
$TaskLimit = 45

# A job's output once it has ended, or a TimeoutException once it has run
# for $seconds; either way the job is gone afterwards.
function Receive-Bounded($job, [int]$seconds) {
    try {
        Wait-Job -Job $job -Timeout $seconds | Out-Null
        if ($job.State -eq 'NotStarted' -or $job.State -eq 'Running') {
            throw [System.TimeoutException]::new("timed out after $seconds s")
        }
        Receive-Job -Job $job -ErrorAction Stop
    } finally {
        Stop-Job -Job $job -ErrorAction SilentlyContinue
        Remove-Job -Job $job -Force -ErrorAction SilentlyContinue
    }
}

# A step that needs nothing of this PowerShell, in a process of its own,
# stopped at $LocalLimit: the PnP cmdlets and pnputil, whose answer it
# turns into text there.
function Invoke-Local([scriptblock]$block, [object[]]$arguments = @()) {
    $job = if ($arguments.Count -gt 0) { Start-Job -ScriptBlock $block -ArgumentList $arguments } else { Start-Job -ScriptBlock $block }
    Receive-Bounded $job $LocalLimit
}

# pnputil's exit status is the answer: what it says on standard error is
# part of its output, not a failure of the step.
$pnputil = {
    param([string[]]$arguments)
    $out = (& pnputil.exe @arguments 2>&1 | Out-String)
    '{0}: {1}' -f $LASTEXITCODE, $out.Trim()
}

# A folder without spaces for the copy of the executable and the files the
# runs write, so that cmd's command lines need no quotes.
$dir = Join-Path $env:RUNNER_TEMP 'shamrig-facts'
New-Item -ItemType Directory -Force -Path $dir | Out-Null
Copy-Item -Path $Exe -Destination (Join-Path $dir 'shamrig.exe')
Set-Location $dir

# cmd writes the tool's bytes to the file unchanged; read back as UTF-8.
function Invoke-FileRoute([string]$word, [string]$file) {
    cmd.exe /d /c "shamrig.exe $word >$file"
    $status = $LASTEXITCODE
    $text = [System.IO.File]::ReadAllText((Join-Path $dir $file), $utf8)
    return @{ Status = $status; Text = (Get-Lines $text) }
}

Invoke-Fact 'PowerShell, architecture, [Console]::OutputEncoding' {
    '{0}, {1}, code page {2}' -f $PSVersionTable.PSVersion, $env:PROCESSOR_ARCHITECTURE, [Console]::OutputEncoding.CodePage
}

$created = Invoke-FileRoute 'create' 'create.txt'
$id = ''
if ($created.Text -match 'ROOT\\VELMORASTIXTEST\\[0-9]{4}') { $id = $Matches[0] }
Write-Fact 'create, through cmd into a file: exit status, instance ID' ('{0}, {1}' -f $created.Status, $id)
if ($id -eq '') {
    Write-Fact 'create printed' $created.Text
    exit 0
}

Invoke-Fact 'Get-PnpDevice -InstanceId: Class, ClassGuid, Status, Problem, ConfigManagerErrorCode, FriendlyName, Present' {
    Invoke-Local -Arguments $id {
        param($id)
        $d = Get-PnpDevice -InstanceId $id -ErrorAction Stop
        '{0}, {1}, {2}, {3}, {4}, {5}, {6}' -f $d.Class, $d.ClassGuid, $d.Status, $d.Problem, $d.ConfigManagerErrorCode, $d.FriendlyName, $d.Present
    }
}
Invoke-Fact 'Get-PnpDeviceProperty DEVPKEY_Device_ProblemCode' {
    Invoke-Local -Arguments $id {
        param($id)
        [string](Get-PnpDeviceProperty -InstanceId $id -KeyName 'DEVPKEY_Device_ProblemCode' -ErrorAction Stop).Data
    }
}
# Whether -InstanceId takes a wildcard: its reference says it accepts none.
Invoke-Fact "Get-PnpDevice -InstanceId 'ROOT\VELMORASTIXTEST\*': instance IDs" {
    Invoke-Local {
        (@(Get-PnpDevice -InstanceId 'ROOT\VELMORASTIXTEST\*' -ErrorAction Stop) | ForEach-Object { $_.InstanceId }) -join ' '
    }
}
Invoke-Fact 'pnputil /enum-devices /instanceid: exit status and output' {
    Invoke-Local $pnputil (, @('/enum-devices', '/instanceid', $id))
}

# The same `list`, captured three ways at this PowerShell.
$file = Invoke-FileRoute 'list' 'list.txt'
Write-Fact 'list, through cmd into a file, read as UTF-8: exit status and text' ('{0}: {1}' -f $file.Status, $file.Text)
Invoke-Fact 'list, $out = & .\shamrig.exe list: the same text as the file route' {
    $out = (& .\shamrig.exe list) -join "`n"
    if ((Get-Lines $out) -ceq $file.Text) { 'yes' } else { 'no: ' + $out }
}
Invoke-Fact 'list, $out = & .\shamrig.exe list after [Console]::OutputEncoding = UTF-8: the same text' {
    $before = [Console]::OutputEncoding
    try {
        [Console]::OutputEncoding = $utf8
        $out = (& .\shamrig.exe list) -join "`n"
    } finally {
        [Console]::OutputEncoding = $before
    }
    if ((Get-Lines $out) -ceq $file.Text) { 'yes' } else { 'no: ' + $out }
}

# Remoting to this machine, where the runner lets it be enabled. Why the
# remote steps are not run, while there is a reason.
$noRemote = 'not run: Enable-PSRemoting did not succeed'
Invoke-Fact 'Enable-PSRemoting -Force -SkipNetworkProfileCheck' {
    $job = Start-Job { Enable-PSRemoting -Force -SkipNetworkProfileCheck | Out-Null; 'enabled' }
    $enabled = Receive-Bounded $job $RemoteLimit
    $script:noRemote = ''
    $enabled
}
$session = New-PSSessionOption -OpenTimeout 20000 -OperationTimeout 30000 -CancelTimeout 10000
# A script block run in this folder on this machine through WinRM, stopped
# at $RemoteLimit. One that timed out stops the others from waiting as long.
function Invoke-Remote([scriptblock]$block) {
    if ($script:noRemote -ne '') { throw $script:noRemote }
    $job = Invoke-Command -ComputerName localhost -SessionOption $session -ArgumentList $dir -ScriptBlock $block -AsJob
    try {
        Receive-Bounded $job $RemoteLimit
    } catch [System.TimeoutException] {
        $script:noRemote = 'not run: an earlier remote step ' + $_.Exception.Message
        throw
    }
}
Invoke-Fact 'Invoke-Command -ComputerName localhost: PowerShell and [Console]::OutputEncoding there, and $out = & .\shamrig.exe list the same text as the file route' {
    $r = Invoke-Remote {
        param($where)
        Set-Location $where
        @{ Version = [string]$PSVersionTable.PSVersion; Page = [Console]::OutputEncoding.CodePage; Out = (& .\shamrig.exe list) -join "`n" }
    }
    $same = if ((Get-Lines $r.Out) -ceq $file.Text) { 'yes' } else { 'no: ' + $r.Out }
    'PowerShell {0}, code page {1}; {2}' -f $r.Version, $r.Page, $same
}
Invoke-Fact 'Invoke-Command -ComputerName localhost: [Console]::OutputEncoding = UTF-8 there' {
    $out = Invoke-Remote {
        param($where)
        Set-Location $where
        [Console]::OutputEncoding = New-Object System.Text.UTF8Encoding($false)
        (& .\shamrig.exe list) -join "`n"
    }
    if ((Get-Lines $out) -ceq $file.Text) { 'set; the same text' } else { 'set; no: ' + $out }
}
Invoke-Fact 'Invoke-Command -ComputerName localhost: cmd into a file there, read here as UTF-8, the same text' {
    Invoke-Remote {
        param($where)
        Set-Location $where
        cmd.exe /d /c 'shamrig.exe list >remote.txt'
    } | Out-Null
    $remote = Get-Lines ([System.IO.File]::ReadAllText((Join-Path $dir 'remote.txt'), $utf8))
    if ($remote -ceq $file.Text) { 'yes' } else { 'no: ' + $remote }
}

# As SYSTEM, as Intune and Configuration Manager run scripts: a scheduled
# task, its output through cmd into a file.
Invoke-Fact 'as SYSTEM (a scheduled task), list through cmd into a file: the same text as the administrator''s' {
    $task = 'shamrig-facts'
    $action = New-ScheduledTaskAction -Execute 'cmd.exe' -Argument '/d /c "shamrig.exe list >system.txt"' -WorkingDirectory $dir
    $principal = New-ScheduledTaskPrincipal -UserId 'SYSTEM' -LogonType ServiceAccount -RunLevel Highest
    Register-ScheduledTask -TaskName $task -Action $action -Principal $principal -Force | Out-Null
    try {
        Start-ScheduledTask -TaskName $task
        $ran = $false
        for ($i = 0; $i -lt $TaskLimit; $i++) {
            Start-Sleep -Seconds 1
            if ((Get-ScheduledTask -TaskName $task).State -eq 'Ready' -and (Test-Path (Join-Path $dir 'system.txt'))) {
                $ran = $true
                break
            }
        }
        if (-not $ran) { throw "timed out after $TaskLimit s: the task did not finish" }
        $system = Get-Lines ([System.IO.File]::ReadAllText((Join-Path $dir 'system.txt'), $utf8))
        if ($system -ceq $file.Text) { 'yes' } else { 'no: ' + $system }
    } finally {
        Unregister-ScheduledTask -TaskName $task -Confirm:$false
    }
}

Invoke-Fact 'pnputil /remove-device: exit status and output' {
    Invoke-Local $pnputil (, @('/remove-device', $id))
}
Invoke-Fact 'after pnputil /remove-device, Get-PnpDevice -InstanceId' {
    Invoke-Local -Arguments $id {
        param($id)
        $d = Get-PnpDevice -InstanceId $id -ErrorAction SilentlyContinue
        if ($null -eq $d) { 'gone' } else { 'still there: {0}, {1}' -f $d.Status, $d.Present }
    }
}
Invoke-Fact 'after pnputil /remove-device, list through cmd into a file' {
    (Invoke-FileRoute 'list' 'after.txt').Text
}
exit 0
