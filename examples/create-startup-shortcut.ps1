<#
.SYNOPSIS
Starts torvinale at every login: puts a shortcut in your Startup folder
(shell:startup) that runs torvinale.exe with "Start in" set to the folder that
holds config.ini. A run that fails keeps its window open with the report for
60 seconds or until a key is pressed; a normal run closes it.

.PARAMETER Program
Path of torvinale.exe. Default: torvinale.exe beside this script.

.PARAMETER StartIn
Folder that holds config.ini (torvinale writes a default one there on its
first run). Default: the folder of the program.

.EXAMPLE
powershell -ExecutionPolicy Bypass -File create-startup-shortcut.ps1

.EXAMPLE
powershell -ExecutionPolicy Bypass -File create-startup-shortcut.ps1 -Program C:\Tools\Torvinale\torvinale.exe -StartIn C:\Users\me\Torvinale
#>
[CmdletBinding()]
param(
    [string]$Program,
    [string]$StartIn
)
$ErrorActionPreference = 'Stop'

if (-not $Program) { $Program = Join-Path $PSScriptRoot 'torvinale.exe' }
if (-not (Test-Path -LiteralPath $Program -PathType Leaf)) {
    throw "No program at '$Program'; give its path with -Program."
}
$Program = (Resolve-Path -LiteralPath $Program).ProviderPath

if (-not $StartIn) { $StartIn = Split-Path -Parent $Program }
if (-not (Test-Path -LiteralPath $StartIn -PathType Container)) {
    throw "No folder at '$StartIn'; give the folder that holds config.ini with -StartIn."
}
$StartIn = (Resolve-Path -LiteralPath $StartIn).ProviderPath

$startup = [Environment]::GetFolderPath('Startup')
$linkPath = Join-Path $startup 'Torvinale.lnk'

$shell = New-Object -ComObject WScript.Shell
$link = $shell.CreateShortcut($linkPath)
# cmd.exe runs the program and closes the window at once after exit code 0; after any
# other (below 0 too) it waits 60 s or for a key. The MSI's shortcut runs the same.
$link.TargetPath = Join-Path ([Environment]::SystemDirectory) 'cmd.exe'
$link.Arguments = '/s /c ""' + $Program + '" & (if errorlevel 0 if not errorlevel 1 exit) & timeout /t 60"'
# "Start in": the program reads config.ini from its working folder.
$link.WorkingDirectory = $StartIn
$link.WindowStyle = 1
$link.Description = 'Open programs, documents and URLs after a countdown'
$link.Save()

Write-Output "Created $linkPath"
Write-Output "  runs:     $Program (through cmd.exe)"
Write-Output "  start in: $StartIn"
if (-not (Test-Path -LiteralPath (Join-Path $StartIn 'config.ini') -PathType Leaf)) {
    Write-Output "  (no config.ini there yet: the first run writes the default one)"
}
